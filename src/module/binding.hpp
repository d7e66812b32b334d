#pragma once

#include <array>
#include <cstddef>
#include <span>

#include "module/errors.hpp"

namespace kestrova::surface {

struct KeywordOnlyParameter {
  const char* name;
  bool required;
};

// How one constructor or method takes its arguments.
struct ParameterDescription {
  const char* class_name;  // may be null
  const char* function_name;
  std::span<const char* const> positional;
  std::size_t positional_only;
  std::size_t required_positional;
  std::span<const KeywordOnlyParameter> keyword_only;

  constexpr std::size_t count() const { return positional.size() + keyword_only.size(); }
};

// The general paths; they fill `slots` (one per parameter, positional first)
// with borrowed references, or set a TypeError and throw.
void bind_vector(const ParameterDescription& description, PyObject** slots, PyObject* const* args,
                 Py_ssize_t nargs, PyObject* kwnames);
void bind_tuple(const ParameterDescription& description, PyObject** slots, PyObject* args,
                PyObject* kwargs);

// Vector form, for METH_FASTCALL | METH_KEYWORDS methods. Empty slots are null.
template <std::size_t N>
std::array<PyObject*, N> bind_arguments(const ParameterDescription& description,
                                        PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames) {
  std::array<PyObject*, N> slots{};
  if (kwnames == nullptr && static_cast<std::size_t>(nargs) == N &&
      description.keyword_only.empty()) {
    for (std::size_t i = 0; i < N; ++i) slots[i] = args[i];
    return slots;
  }
  bind_vector(description, slots.data(), args, nargs, kwnames);
  return slots;
}

// Tuple form, for constructors.
template <std::size_t N>
std::array<PyObject*, N> bind_arguments(const ParameterDescription& description, PyObject* args,
                                        PyObject* kwargs) {
  std::array<PyObject*, N> slots{};
  bind_tuple(description, slots.data(), args, kwargs);
  return slots;
}

}  // namespace kestrova::surface
