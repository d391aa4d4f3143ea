// Namespace handles and the two ways of running code in them.

#include <stdexcept>
#include <utility>

#include "runtime_internal.hpp"

namespace embedded_python {

namespace py = pybind11;
using detail::Gil;

// Owns one reference to the dict (released with the GIL held: every owner of an Impl holds it when
// the Impl goes). A plain PyObject* because pybind11's own handle types are hidden symbols.
struct Namespace::Impl {
  struct DecRef {
    void operator()(PyObject* object) const { Py_DECREF(object); }
  };
  explicit Impl(py::dict value) : owned(value.release().ptr()) {}
  py::dict dict() const { return py::reinterpret_borrow<py::dict>(owned.get()); }
  std::unique_ptr<PyObject, DecRef> owned;
};

namespace {

Namespace::Impl& checked(const std::unique_ptr<Namespace::Impl>& impl) {
  if (!impl) throw std::invalid_argument("embedded_python::Namespace used after it was moved from");
  return *impl;
}

py::object to_python(const Argument& value) {
  if (const auto* text = std::get_if<std::string>(&value)) return detail::to_str(*text);
  if (const auto* list = std::get_if<std::vector<std::string>>(&value)) {
    py::list result;
    for (const auto& item : *list) result.append(detail::to_str(item));
    return result;
  }
  return py::none();
}

// The value bound to name, or null when unbound (no Python error left set).
PyObject* lookup(const py::dict& dict, std::string_view name) {
  py::object key = detail::to_str(name);
  PyObject* value = PyDict_GetItemWithError(dict.ptr(), key.ptr());
  if (value == nullptr && PyErr_Occurred()) throw py::error_already_set();
  return value;
}

// Runs fn with the runtime started and the GIL held, turning Python errors into PythonError.
template <typename Fn>
auto with_python(Fn&& fn) {
  detail::runtime();
  Gil gil;
  try {
    return fn();
  } catch (const py::error_already_set& error) {
    throw detail::to_python_error(error);
  }
}

}  // namespace

Namespace::Namespace() : impl_(with_python([] { return std::make_unique<Impl>(py::dict()); })) {}

Namespace::Namespace(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

Namespace Namespace::with_datetime() {
  Namespace result;
  result.bind_module("datetime", "datetime");
  return result;
}

Namespace::~Namespace() {
  if (!impl_) return;
  Gil gil;
  // Functions defined by the code refer back to the dict; clearing breaks those cycles now.
  // Destructors of the values may raise; such errors have no caller to go to.
  PyDict_Clear(impl_->owned.get());
  impl_.reset();
}

Namespace::Namespace(Namespace&& other) noexcept = default;

Namespace& Namespace::operator=(Namespace&& other) noexcept {
  if (this != &other) {
    Namespace discarded(std::move(*this));
    impl_ = std::move(other.impl_);
  }
  return *this;
}

void Namespace::bind_module(std::string_view name, std::string_view module) {
  Impl& impl = checked(impl_);
  with_python([&] {
    impl.dict()[detail::to_str(name)] = py::module_::import(std::string(module).c_str());
  });
}

void Namespace::bind_attribute(std::string_view name, std::string_view module,
                               std::string_view attribute) {
  Impl& impl = checked(impl_);
  with_python([&] {
    py::object owner = py::module_::import(std::string(module).c_str());
    impl.dict()[detail::to_str(name)] = owner.attr(detail::to_str(attribute));
  });
}

void Namespace::bind_runner(std::string_view name) {
  Impl& impl = checked(impl_);
  with_python([&] {
    py::dict dict = impl.dict();
    py::object name_object = detail::to_str(name);
    impl.dict()[name_object] = py::cpp_function(
        [dict](py::object code) -> py::object {
          detail::RawOutcome outcome = detail::run_in_dict(dict, code, {});
          if (outcome.error) throw std::move(*outcome.error);
          return detail::to_str(outcome.output);
        },
        py::name(std::string(name).c_str()), py::arg("code"),
        "Runs code in this namespace and returns what it printed.");
  });
}

void Namespace::set(std::string_view name, const Argument& value) {
  Impl& impl = checked(impl_);
  with_python([&] { impl.dict()[detail::to_str(name)] = to_python(value); });
}

bool Namespace::contains(std::string_view name) const {
  Impl& impl = checked(impl_);
  return with_python([&] { return lookup(impl.dict(), name) != nullptr; });
}

std::vector<std::string> Namespace::names() const {
  Impl& impl = checked(impl_);
  return with_python([&] {
    std::vector<std::string> result;
    for (auto item : impl.dict()) result.push_back(detail::str_of(item.first));
    return result;
  });
}

std::optional<std::string> Namespace::text(std::string_view name) const {
  Impl& impl = checked(impl_);
  return with_python([&]() -> std::optional<std::string> {
    PyObject* value = lookup(impl.dict(), name);
    if (value == nullptr || value == Py_None) return std::nullopt;
    return detail::str_of(value);
  });
}

void Namespace::call(std::string_view name, const std::vector<Argument>& args) {
  Impl& impl = checked(impl_);
  with_python([&] {
    PyObject* callable = lookup(impl.dict(), name);
    if (callable == nullptr) {
      PyErr_SetObject(PyExc_KeyError, detail::to_str(name).ptr());
      throw py::error_already_set();
    }
    py::tuple arguments(args.size());
    for (std::size_t i = 0; i < args.size(); ++i) arguments[i] = to_python(args[i]);
    // The callable is held while it runs, even if the call rebinds its name.
    py::reinterpret_borrow<py::object>(callable)(*arguments);
  });
}

RunResult run(Namespace& ns, std::string_view source, const RunOptions& options) {
  Namespace::Impl& impl = checked(ns.impl_);
  detail::runtime();
  Gil gil;
  RunResult result;
  std::optional<PythonError> failure;
  try {
    detail::RawOutcome outcome =
        detail::run_in_dict(impl.dict(), detail::to_str(source),
                            {options.time_limit, options.guard ? &*options.guard : nullptr});
    result.output = std::move(outcome.output);
    if (outcome.timed_out) {
      failure.emplace("TimeoutError", detail::timeout_message(outcome.limit));
    } else if (outcome.error) {
      failure.emplace(detail::to_python_error(*outcome.error));
    }
  } catch (const py::error_already_set& error) {  // invalid UTF-8 or a parse error
    failure.emplace(detail::to_python_error(error));
  }
  if (!failure) {
    result.success = true;
    return result;
  }
  if (!failure->ordinary()) throw *failure;
  result.error = failure->what();
  result.error_type = failure->type_name();
  result.error_message = failure->message();
  return result;
}

std::string execute(Namespace& ns, std::string_view source, const RunOptions& options) {
  Namespace::Impl& impl = checked(ns.impl_);
  return with_python([&] {
    detail::RawOutcome outcome =
        detail::run_in_dict(impl.dict(), detail::to_str(source),
                            {options.time_limit, options.guard ? &*options.guard : nullptr});
    if (outcome.timed_out)
      throw PythonError("TimeoutError", detail::timeout_message(outcome.limit));
    if (outcome.error) throw detail::to_python_error(*outcome.error);
    return std::move(outcome.output);
  });
}

}  // namespace embedded_python
