#include "module/binding.hpp"

#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace kestrova::surface {

namespace {

std::string full_name(const ParameterDescription& d) {
  std::string name;
  if (d.class_name != nullptr) {
    name += d.class_name;
    name += '.';
  }
  name += d.function_name;
  name += "()";
  return name;
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'
std::string name_list(const std::vector<const char*>& names) {
  std::string text;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() > 2) text += ',';
      text += i + 1 == names.size() ? " and " : " ";
    }
    text += '\'';
    text += names[i];
    text += '\'';
  }
  return text;
}

[[noreturn]] void fail(const std::string& message) {
  PyErr_SetString(PyExc_TypeError, message.c_str());
  throw_python_error();
}

[[noreturn]] void fail_too_many(const ParameterDescription& d, std::size_t given) {
  std::size_t count = d.positional.size();
  std::string message = full_name(d);
  if (d.required_positional == count) {
    message += " takes " + std::to_string(count);
  } else {
    message +=
        " takes from " + std::to_string(d.required_positional) + " to " + std::to_string(count);
  }
  message += " positional arguments but " + std::to_string(given) +
             (given == 1 ? " was given" : " were given");
  fail(message);
}

[[noreturn]] void fail_unexpected(const ParameterDescription& d, PyObject* keyword) {
  // str() of the name can run Python code that drops the dict's last reference to it.
  Ref held = Ref::borrow(keyword);
  PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", full_name(d).c_str(),
               keyword);
  throw_python_error();
}

[[noreturn]] void fail_missing(const ParameterDescription& d, const char* kind,
                               const std::vector<const char*>& names) {
  fail(full_name(d) + " missing " + std::to_string(names.size()) + " required " + kind +
       (names.size() == 1 ? " argument: " : " arguments: ") + name_list(names));
}

// Binds what the positional arguments did not: keywords, then the checks for
// missing parameters.
class KeywordBinder {
 public:
  KeywordBinder(const ParameterDescription& d, PyObject** slots) : d_(d), slots_(slots) {}

  void bind(PyObject* keyword, PyObject* value) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_Check(keyword) ? PyUnicode_AsUTF8AndSize(keyword, &size) : nullptr;
    if (text == nullptr) {
      PyErr_Clear();
      fail_unexpected(d_, keyword);
    }
    std::string_view name(text, static_cast<std::size_t>(size));
    for (std::size_t i = 0; i < d_.keyword_only.size(); ++i) {
      if (name == d_.keyword_only[i].name) {
        fill(d_.positional.size() + i, d_.keyword_only[i].name, value);
        return;
      }
    }
    for (std::size_t i = 0; i < d_.positional.size(); ++i) {
      if (name != d_.positional[i]) continue;
      if (i < d_.positional_only) {
        positional_only_names_.push_back(d_.positional[i]);
      } else {
        fill(i, d_.positional[i], value);
      }
      return;
    }
    fail_unexpected(d_, keyword);
  }

  void finish(std::size_t given) {
    if (!positional_only_names_.empty()) {
      fail(full_name(d_) + " got some positional-only arguments passed as keyword arguments: " +
           name_list(positional_only_names_));
    }
    if (given < d_.required_positional) {
      std::vector<const char*> missing;
      for (std::size_t i = given; i < d_.required_positional; ++i) {
        if (slots_[i] == nullptr) missing.push_back(d_.positional[i]);
      }
      if (!missing.empty()) fail_missing(d_, "positional", missing);
    }
    std::vector<const char*> missing;
    for (std::size_t i = 0; i < d_.keyword_only.size(); ++i) {
      if (d_.keyword_only[i].required && slots_[d_.positional.size() + i] == nullptr) {
        missing.push_back(d_.keyword_only[i].name);
      }
    }
    if (!missing.empty()) fail_missing(d_, "keyword", missing);
  }

 private:
  void fill(std::size_t slot, const char* name, PyObject* value) {
    if (slots_[slot] != nullptr) {
      fail(full_name(d_) + " got multiple values for argument '" + name + "'");
    }
    slots_[slot] = value;
  }

  const ParameterDescription& d_;
  PyObject** slots_;
  std::vector<const char*> positional_only_names_;
};

std::size_t bind_positional(const ParameterDescription& d, PyObject** slots, PyObject* const* args,
                            std::size_t given) {
  std::size_t count = d.positional.size();
  for (std::size_t i = 0; i < given && i < count; ++i) slots[i] = args[i];
  if (given > count) fail_too_many(d, given);
  return given;
}

}  // namespace

void bind_vector(const ParameterDescription& d, PyObject** slots, PyObject* const* args,
                 Py_ssize_t nargs, PyObject* kwnames) {
  std::size_t given = bind_positional(d, slots, args, static_cast<std::size_t>(nargs));
  KeywordBinder keywords(d, slots);
  if (kwnames != nullptr) {
    Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < count; ++i) {
      keywords.bind(PyTuple_GET_ITEM(kwnames, i), args[nargs + i]);
    }
  }
  keywords.finish(given);
}

void bind_tuple(const ParameterDescription& d, PyObject** slots, PyObject* args, PyObject* kwargs) {
  std::size_t given = bind_positional(d, slots, reinterpret_cast<PyTupleObject*>(args)->ob_item,
                                      static_cast<std::size_t>(PyTuple_GET_SIZE(args)));
  KeywordBinder keywords(d, slots);
  if (kwargs != nullptr) {
    Py_ssize_t position = 0;
    PyObject* keyword;
    PyObject* value;
    while (PyDict_Next(kwargs, &position, &keyword, &value)) keywords.bind(keyword, value);
  }
  keywords.finish(given);
}

}  // namespace kestrova::surface
