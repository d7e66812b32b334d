#include "module/panic.hpp"

#include <sys/prctl.h>

#include <cstdio>
#include <cstdlib>

#include "module/ref.hpp"

namespace kestrova::surface {

namespace {

constexpr const char* kPanicDoc =
    "Raised when native code called from Python fails an internal check.\n"
    "\n"
    "It derives from BaseException, like SystemExit, so that it normally\n"
    "propagates through the whole stack and ends the interpreter.";

// Created on first need and kept for the life of the process.
PyObject* panic_type = nullptr;

PyObject* get_panic_type() {
  if (panic_type == nullptr) {
    panic_type = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicDoc,
                                           PyExc_BaseException, nullptr);
  }
  return panic_type;
}

void write_diagnostic(const InvariantFailure& failure) {
  // The calling thread's name through prctl: pthread_getname_np would need glibc 2.34.
  char thread_name[64] = "<unnamed>";
  prctl(PR_GET_NAME, thread_name, 0, 0, 0);
  std::fprintf(stderr, "kestrova: internal check failed in thread '%s' at %s:%u:%u:\n%s\n",
               thread_name, failure.where.file_name(), static_cast<unsigned>(failure.where.line()),
               static_cast<unsigned>(failure.where.column()), failure.message.c_str());
  std::fflush(stderr);
}

}  // namespace

void raise_panic(const InvariantFailure& failure) noexcept {
  write_diagnostic(failure);
  PyObject* type = get_panic_type();
  if (type == nullptr) std::abort();
  Ref message = Ref::steal(PyUnicode_DecodeUTF8(
      failure.message.data(), static_cast<Py_ssize_t>(failure.message.size()), "replace"));
  if (!message) std::abort();
  Ref exception = Ref::steal(PyObject_CallOneArg(type, message.get()));
  if (!exception) std::abort();
  PyErr_SetObject(type, exception.get());
}

bool pending_is_panic() noexcept {
  return panic_type != nullptr && PyErr_ExceptionMatches(panic_type);
}

InvariantFailure take_pending_panic() noexcept {
  PyObject* type;
  PyObject* value;
  PyObject* traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);

  std::string message = "Unwrapped panic from Python code";
  Ref text = Ref::steal(value != nullptr ? PyObject_Str(value) : nullptr);
  const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
  if (utf8 != nullptr) {
    message = utf8;
  } else {
    PyErr_Clear();
  }
  std::fprintf(stderr,
               "kestrova: a PanicException raised by Python code reached a native call and is "
               "raised again; its traceback follows.\n");
  std::fflush(stderr);
  PyErr_Restore(type, value, traceback);
  PyErr_PrintEx(0);
  return InvariantFailure(std::move(message));
}

}  // namespace kestrova::surface
