#pragma once

#include <string>
#include <string_view>

namespace sql_database {

enum class ServerDialect { postgresql, mysql };

// The check a model-written statement passes on the client before it is sent to a database
// server. The read-only transaction already stops changes to the data; this check refuses what
// a read-only transaction lets through and a privileged account could still do: reach the
// server's files (PostgreSQL COPY, pg_read_file, large objects; MySQL INTO OUTFILE, LOAD_FILE),
// signal or stop server processes (pg_terminate_backend, KILL, SHUTDOWN), change settings that
// outlive the statement or lift its timeout (SET, SET GLOBAL, SET STATEMENT ... FOR), and run SQL
// given as text, where none of this can be seen (DO, EXECUTE, PREPARE, compound statements,
// query_to_xml).
//
// The statement is taken apart into words the way the server reads it: comments and string
// literals are set aside, so a name inside a string or comment is not refused, while MySQL's
// executable comments (/*! ... */) count as code. Where a server setting decides how a text is
// read (backslash escapes in strings, ANSI_QUOTES), every reading is checked and the statement is
// refused when any of them is.
//
// Statements starting with a word that is not a statement keyword are left to the server, which
// reports its own syntax error.
//
// Returns the empty text when the statement may be sent, else the reason it is refused, naming
// the refused form.
std::string refused_statement(std::string_view sql, ServerDialect dialect);

}  // namespace sql_database
