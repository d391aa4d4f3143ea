// The askdb page: asks the server's API, follows the question's event stream, and shows the
// answer, the SQL, the rows, the analysis code and the chart. No framework and no network beyond
// this server. Every request carries the access token when the server needs one; the event stream
// is read through fetch rather than EventSource for that reason.
"use strict";

(function () {
  const $ = (id) => document.getElementById(id);
  const TOKEN_KEY = "askdb.token";
  const HISTORY_KEY = "askdb.history";

  let token = sessionStorage.getItem(TOKEN_KEY) || "";
  let shownId = null;        // the question on display
  let chartObjectUrl = null; // the blob URL of the chart on display
  const asked = loadHistory(); // [{id, question, state}], newest first

  // A token may come in the address as #token=...: it never reaches the server's logs that way.
  if (location.hash.startsWith("#token=")) {
    token = decodeURIComponent(location.hash.slice(7));
    sessionStorage.setItem(TOKEN_KEY, token);
    window.history.replaceState(null, "", location.pathname);
  }

  function loadHistory() {
    try {
      const list = JSON.parse(sessionStorage.getItem(HISTORY_KEY) || "[]");
      return Array.isArray(list) ? list : [];
    } catch (e) {
      return [];
    }
  }
  function saveHistory() {
    sessionStorage.setItem(HISTORY_KEY, JSON.stringify(asked.slice(0, 100)));
  }

  function headers(extra) {
    const h = Object.assign({}, extra || {});
    if (token) h["Authorization"] = "Bearer " + token;
    return h;
  }

  class ApiError extends Error {
    constructor(status, message) {
      super(message);
      this.status = status;
    }
  }

  async function api(path, options) {
    const opts = Object.assign({}, options || {});
    opts.headers = headers(opts.headers);
    const res = await fetch(path, opts);
    if (res.status === 401) {
      $("token-box").hidden = false;
      throw new ApiError(401, "This server needs its access token.");
    }
    return res;
  }

  async function errorText(res) {
    try {
      const body = await res.json();
      if (body && typeof body.error === "string") return body.error;
    } catch (e) {
      // not JSON: the status says enough
    }
    return "HTTP " + res.status;
  }

  function showFormError(text) {
    $("form-error").textContent = text || "";
    $("form-error").hidden = !text;
  }

  // ---- asking -------------------------------------------------------------------------------

  async function ask() {
    const question = $("question").value.trim();
    if (!question) {
      showFormError("Type a question first.");
      return;
    }
    showFormError("");
    $("ask").disabled = true;
    try {
      const res = await api("/api/questions", {
        method: "POST",
        headers: { "Content-Type": "application/json" },
        body: JSON.stringify({ question: question }),
      });
      if (res.status === 429) {
        showFormError(await errorText(res));
        return;
      }
      if (res.status !== 202) {
        showFormError(await errorText(res));
        return;
      }
      const body = await res.json();
      const entry = { id: body.id, question: question, state: "queued" };
      asked.unshift(entry);
      saveHistory();
      renderHistory();
      $("question").value = "";
      showQuestion(entry.id, question);
      follow(entry.id);
    } catch (e) {
      showFormError(e.message || String(e));
    } finally {
      $("ask").disabled = false;
    }
  }

  function setHistoryState(id, state) {
    const entry = asked.find((h) => h.id === id);
    if (entry && entry.state !== state) {
      entry.state = state;
      saveHistory();
      renderHistory();
    }
  }

  // ---- the event stream ---------------------------------------------------------------------

  // Reads server-sent events from a fetch response body, calling onEvent(name, data) for each.
  async function readEvents(res, onEvent) {
    const reader = res.body.getReader();
    const decoder = new TextDecoder();
    let buffer = "";
    for (;;) {
      const { value, done } = await reader.read();
      if (done) return;
      buffer += decoder.decode(value, { stream: true }).replace(/\r\n?/g, "\n");
      let end;
      while ((end = buffer.indexOf("\n\n")) >= 0) {
        const block = buffer.slice(0, end);
        buffer = buffer.slice(end + 2);
        let name = "message";
        const data = [];
        for (const line of block.split("\n")) {
          if (line.startsWith(":")) continue;
          const colon = line.indexOf(":");
          const field = colon < 0 ? line : line.slice(0, colon);
          let val = colon < 0 ? "" : line.slice(colon + 1);
          if (val.startsWith(" ")) val = val.slice(1);
          if (field === "event") name = val;
          if (field === "data") data.push(val);
        }
        if (data.length) {
          let parsed = null;
          try {
            parsed = JSON.parse(data.join("\n"));
          } catch (e) {
            continue;
          }
          if (onEvent(name, parsed) === false) {
            reader.cancel();
            return;
          }
        }
      }
    }
  }

  async function follow(id) {
    let finished = false;
    try {
      const res = await api("/api/questions/" + encodeURIComponent(id) + "/events");
      if (!res.ok) throw new ApiError(res.status, await errorText(res));
      if (id === shownId) $("current-state").textContent = "Working…";
      await readEvents(res, (name, data) => {
        if (name === "node_start") {
          setHistoryState(id, "running");
          if (id === shownId) nodeStarted(data);
        } else if (name === "node_end") {
          if (id === shownId) nodeEnded(data);
        } else if (name === "done") {
          finished = true;
          setHistoryState(id, "done");
          if (id === shownId) showResult(data, data.chart_url);
          return false;
        } else if (name === "error") {
          finished = true;
          setHistoryState(id, "error");
          if (id === shownId) showError(data.message);
          return false;
        }
        return true;
      });
    } catch (e) {
      // The stream broke off: the question goes on at the server, so ask for its state instead.
    }
    if (!finished) poll(id);
  }

  async function poll(id) {
    for (let i = 0; i < 600; i++) {
      try {
        const res = await api("/api/questions/" + encodeURIComponent(id));
        if (res.status === 404) {
          if (id === shownId) showError("The server no longer knows this question.");
          setHistoryState(id, "error");
          return;
        }
        if (res.ok) {
          const status = await res.json();
          setHistoryState(id, status.state);
          if (id === shownId) renderStatus(status);
          if (status.state === "done" || status.state === "error") return;
        }
      } catch (e) {
        if (e.status === 401) return;
      }
      await new Promise((r) => setTimeout(r, 1000));
    }
  }

  // ---- showing a question -------------------------------------------------------------------

  function clearChildren(node) {
    while (node.firstChild) node.removeChild(node.firstChild);
  }

  function showQuestion(id, question) {
    shownId = id;
    $("current").hidden = false;
    $("current-question").textContent = question;
    $("current-state").textContent = "Waiting for a worker…";
    clearChildren($("progress"));
    for (const b of ["answer-block", "chart-block", "sql-block", "rows-block", "code-block"]) {
      $(b).hidden = true;
    }
    $("error").hidden = true;
    if (chartObjectUrl) {
      URL.revokeObjectURL(chartObjectUrl);
      chartObjectUrl = null;
    }
    $("chart").removeAttribute("src");
    renderHistory();
  }

  function nodeItem(name, step) {
    const key = step + ":" + name;
    let li = $("progress").querySelector('li[data-key="' + CSS.escape(key) + '"]');
    if (!li) {
      li = document.createElement("li");
      li.dataset.key = key;
      const label = document.createElement("span");
      label.textContent = name;
      const secs = document.createElement("span");
      secs.className = "secs";
      li.append(label, secs);
      $("progress").appendChild(li);
    }
    return li;
  }
  function nodeStarted(data) {
    $("current-state").textContent = "Running " + data.name + "…";
    nodeItem(data.name, data.step);
  }
  function nodeEnded(data) {
    const li = nodeItem(data.name, data.step);
    li.classList.add("ended");
    li.querySelector(".secs").textContent = Number(data.seconds).toFixed(2) + " s";
  }

  function renderStatus(status) {
    clearChildren($("progress"));
    for (const n of status.nodes || []) {
      nodeStarted(n);
      if (n.seconds !== null && n.seconds !== undefined) nodeEnded(n);
    }
    if (status.state === "queued") $("current-state").textContent = "Waiting for a worker…";
    if (status.state === "done") showResult(status.result, status.chart_url);
    if (status.state === "error") showError(status.error);
  }

  function showError(message) {
    $("current-state").textContent = "Failed";
    $("error").textContent = message;
    $("error").hidden = false;
  }

  function showResult(result, chartUrl) {
    const seconds = result.trace && result.trace.totals ? result.trace.totals.seconds : null;
    $("current-state").textContent =
        "Answered" + (seconds !== null ? " in " + Number(seconds).toFixed(1) + " s" : "");

    $("answer").textContent = result.final_response || "";
    $("answer-block").hidden = false;

    const queries = Array.isArray(result.generated_sql_query) ? result.generated_sql_query : [];
    if (queries.length) {
      $("sql").textContent = queries[queries.length - 1];
      $("sql-note").textContent = queries.length > 1
          ? "The last of " + queries.length + " queries written for this question." : "";
      if (result.execution_success === false) {
        $("sql-note").textContent = "No query succeeded; this is the last one tried.";
      }
      $("sql-block").hidden = false;
    }

    const results = Array.isArray(result.sql_execution_result) ? result.sql_execution_result : [];
    if (results.length && result.execution_success !== false) {
      showRows(results[results.length - 1]);
    }

    if (result.pandas_code) {
      $("code").textContent = result.pandas_code;
      $("code-output").textContent = result.python_executed_output || "(nothing)";
      $("code-block").hidden = false;
    }

    if (chartUrl) showChart(chartUrl);
  }

  async function showChart(url) {
    const forId = shownId;
    try {
      const res = await api(url);
      if (!res.ok) return;
      const blob = await res.blob();
      if (forId !== shownId) return;
      if (chartObjectUrl) URL.revokeObjectURL(chartObjectUrl);
      chartObjectUrl = URL.createObjectURL(blob);
      $("chart").src = chartObjectUrl;
      $("chart-block").hidden = false;
    } catch (e) {
      // no chart, the rest stands
    }
  }

  function showRows(text) {
    const table = $("rows");
    clearChildren(table);
    $("rows-raw").hidden = true;
    $("rows-note").textContent = "";
    let parsed = null;
    try {
      parsed = parsePythonRows(text);
    } catch (e) {
      parsed = null;
    }
    if (!parsed) {
      $("rows-raw").textContent = text;
      $("rows-raw").hidden = false;
      $("rows-block").hidden = false;
      table.parentElement.hidden = true;
      return;
    }
    table.parentElement.hidden = false;
    if (parsed.columns) {
      const head = table.createTHead().insertRow();
      for (const c of parsed.columns) {
        const th = document.createElement("th");
        th.textContent = c;
        head.appendChild(th);
      }
    }
    const body = table.createTBody();
    for (const row of parsed.rows) {
      const tr = body.insertRow();
      for (const cell of row) {
        const td = tr.insertCell();
        td.textContent = cell.text;
        if (cell.kind) td.className = cell.kind;
      }
    }
    const count = parsed.rows.length;
    $("rows-note").textContent =
        (count === 1 ? "1 row" : count + " rows") + (parsed.note ? " · " + parsed.note : "");
    $("rows-block").hidden = false;
  }

  // ---- the result text ----------------------------------------------------------------------

  // The rows arrive as a Python literal: a list of tuples (or of dicts) of numbers, strings,
  // None, True/False, Decimal('...') and datetime values, maybe followed by comment lines saying
  // how many rows were left out. Returns {columns, rows: [[{text, kind}]], note}, or null when
  // the text is something else (then it is shown as it is).
  function parsePythonRows(text) {
    let i = 0;
    const s = text;
    const fail = () => {
      throw new Error("not a row literal");
    };
    const ws = () => {
      while (i < s.length && /\s/.test(s[i])) i++;
    };
    const eat = (c) => {
      ws();
      if (s[i] !== c) fail();
      i++;
    };

    function parseString() {
      let prefix = "";
      while (/[bBrRuU]/.test(s[i])) prefix += s[i++].toLowerCase();
      const quote = s[i];
      if (quote !== "'" && quote !== '"') fail();
      i++;
      let out = "";
      const raw = prefix.includes("r");
      for (;;) {
        if (i >= s.length) fail();
        const c = s[i++];
        if (c === quote) break;
        if (c !== "\\" || raw) {
          out += c;
          continue;
        }
        const e = s[i++];
        const simple = { n: "\n", t: "\t", r: "\r", "\\": "\\", "'": "'", '"': '"', "0": "\0",
                         a: "\x07", b: "\b", f: "\f", v: "\v" };
        if (e in simple) out += simple[e];
        else if (e === "x") { out += String.fromCharCode(parseInt(s.substr(i, 2), 16)); i += 2; }
        else if (e === "u") { out += String.fromCharCode(parseInt(s.substr(i, 4), 16)); i += 4; }
        else if (e === "U") { out += String.fromCodePoint(parseInt(s.substr(i, 8), 16)); i += 8; }
        else out += "\\" + e;
      }
      return prefix.includes("b") ? { text: "b" + JSON.stringify(out), kind: "" }
                                  : { text: out, kind: "" };
    }

    const pad = (n, w) => String(n).padStart(w, "0");

    function describeCall(name, args, rawText) {
      const nums = args.map((a) => a.num);
      const allNums = nums.every((n) => n !== undefined);
      if (name === "Decimal" && args.length === 1) return { text: args[0].text, kind: "num" };
      if (name === "datetime.date" && allNums && args.length === 3) {
        return { text: pad(nums[0], 4) + "-" + pad(nums[1], 2) + "-" + pad(nums[2], 2), kind: "" };
      }
      if (name === "datetime.datetime" && allNums && args.length >= 3) {
        const [y, mo, d, h = 0, mi = 0, sec = 0, us = 0] = nums;
        let t = pad(y, 4) + "-" + pad(mo, 2) + "-" + pad(d, 2) + " " + pad(h, 2) + ":" +
                pad(mi, 2) + ":" + pad(sec, 2);
        if (us) t += "." + pad(us, 6);
        return { text: t, kind: "" };
      }
      if (name === "datetime.time" && allNums && args.length >= 1) {
        const [h, mi = 0, sec = 0, us = 0] = nums;
        let t = pad(h, 2) + ":" + pad(mi, 2) + ":" + pad(sec, 2);
        if (us) t += "." + pad(us, 6);
        return { text: t, kind: "" };
      }
      return { text: rawText, kind: "" };
    }

    function parseValue() {
      ws();
      const start = i;
      const c = s[i];
      if (c === "(" || c === "[") return { seq: parseSequence(), text: "" };
      if (c === "{") return { dict: parseDict(), text: "" };
      if (c === "'" || c === '"' || (/[bBrRuU]/.test(c) && /['"bBrR]/.test(s[i + 1] || ""))) {
        return parseString();
      }
      const num = /^-?(\d+(\.\d*)?|\.\d+)([eE][-+]?\d+)?j?/.exec(s.slice(i));
      if (num) {
        i += num[0].length;
        return { text: num[0], kind: "num", num: Number(num[0]) };
      }
      const name = /^[A-Za-z_][A-Za-z0-9_.]*/.exec(s.slice(i));
      if (!name) fail();
      i += name[0].length;
      ws();
      if (s[i] === "(") {
        i++;
        const args = [];
        ws();
        while (s[i] !== ")") {
          const kw = /^[A-Za-z_][A-Za-z0-9_]*\s*=(?!=)/.exec(s.slice(i));
          if (kw) i += kw[0].length;
          args.push(parseValue());
          ws();
          if (s[i] === ",") i++;
          else if (s[i] !== ")") fail();
          ws();
        }
        i++;
        return describeCall(name[0], args, s.slice(start, i));
      }
      if (name[0] === "None") return { text: "NULL", kind: "null" };
      if (name[0] === "True" || name[0] === "False") return { text: name[0], kind: "" };
      if (name[0] === "inf" || name[0] === "nan") return { text: name[0], kind: "num" };
      fail();
    }

    function parseSequence() {
      const open = s[i++];
      const close = open === "(" ? ")" : "]";
      const items = [];
      ws();
      while (s[i] !== close) {
        items.push(parseValue());
        ws();
        if (s[i] === ",") i++;
        else if (s[i] !== close) fail();
        ws();
      }
      i++;
      return items;
    }

    function parseDict() {
      i++;
      const entries = [];
      ws();
      while (s[i] !== "}") {
        const key = parseValue();
        eat(":");
        entries.push([key.text, parseValue()]);
        ws();
        if (s[i] === ",") i++;
        else if (s[i] !== "}") fail();
        ws();
      }
      i++;
      return entries;
    }

    ws();
    if (s[i] !== "[") return null;
    const top = parseValue();
    // What follows the list: comment lines only.
    const rest = s.slice(i).trim();
    const notes = [];
    for (const line of rest.split("\n")) {
      const t = line.trim();
      if (!t) continue;
      if (!t.startsWith("#")) return null;
      notes.push(t.replace(/^#\s*/, ""));
    }
    let columns = null;
    const rows = [];
    for (const item of top.seq) {
      if (item.seq) {
        rows.push(item.seq.map(cellOf));
      } else if (item.dict) {
        if (!columns) columns = item.dict.map((e) => e[0]);
        rows.push(columns.map((c) => {
          const hit = item.dict.find((e) => e[0] === c);
          return hit ? cellOf(hit[1]) : { text: "", kind: "null" };
        }));
      } else {
        rows.push([cellOf(item)]);
      }
    }
    return { columns: columns, rows: rows, note: notes.join(" ") };
  }

  function cellOf(value) {
    if (value.seq) return { text: "(" + value.seq.map((v) => v.text).join(", ") + ")", kind: "" };
    if (value.dict) return { text: JSON.stringify(value.dict.map((e) => [e[0], e[1].text])),
                             kind: "" };
    return { text: value.text, kind: value.kind || "" };
  }

  // ---- the list of questions ----------------------------------------------------------------

  function renderHistory() {
    const list = $("history");
    clearChildren(list);
    $("history-block").hidden = asked.length === 0;
    for (const entry of asked) {
      const li = document.createElement("li");
      const b = document.createElement("button");
      b.type = "button";
      const q = document.createElement("span");
      q.className = "q";
      q.textContent = entry.question;
      const st = document.createElement("span");
      st.className = "state" + (entry.state === "error" ? " error" : "");
      st.textContent = entry.id === shownId ? entry.state + " · shown" : entry.state;
      b.append(q, st);
      b.addEventListener("click", () => reopen(entry));
      li.appendChild(b);
      list.appendChild(li);
    }
  }

  function reopen(entry) {
    showQuestion(entry.id, entry.question);
    if (entry.state === "done" || entry.state === "error") poll(entry.id);
    else follow(entry.id);
  }

  // ---- wiring -------------------------------------------------------------------------------

  async function copySql() {
    const text = $("sql").textContent;
    let copied = false;
    if (navigator.clipboard && window.isSecureContext) {
      try {
        await navigator.clipboard.writeText(text);
        copied = true;
      } catch (e) {
        copied = false;
      }
    }
    if (!copied) {
      const area = document.createElement("textarea");
      area.value = text;
      document.body.appendChild(area);
      area.select();
      try {
        copied = document.execCommand("copy");
      } catch (e) {
        copied = false;
      }
      area.remove();
    }
    $("copy-sql").textContent = copied ? "Copied" : "Copy failed";
    setTimeout(() => ($("copy-sql").textContent = "Copy"), 1500);
  }

  async function checkServer() {
    try {
      const res = await api("/api/health");
      if (res.ok) {
        const h = await res.json();
        $("server-state").textContent = h.database + " · " + h.workers + " workers";
      }
    } catch (e) {
      $("server-state").textContent = e.status === 401 ? "token needed" : "server unreachable";
    }
  }

  $("ask-form").addEventListener("submit", (e) => {
    e.preventDefault();
    ask();
  });
  $("question").addEventListener("keydown", (e) => {
    if (e.key === "Enter" && !e.shiftKey && !e.isComposing) {
      e.preventDefault();
      ask();
    }
  });
  $("copy-sql").addEventListener("click", copySql);
  $("token-save").addEventListener("click", () => {
    token = $("token").value.trim();
    sessionStorage.setItem(TOKEN_KEY, token);
    $("token-box").hidden = true;
    $("token").value = "";
    checkServer();
  });

  renderHistory();
  checkServer();
  $("question").focus();
})();
