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

// One argument, read on its own. The interpreter has stored the arguments
// one by one just before the call; a wider read of two at once (which the
// compiler would make of a copy loop) cannot take its bytes from two pending
// stores and waits until both reach the cache.
inline PyObject* argument_at(PyObject* const* args, std::size_t i) {
  return static_cast<PyObject* const volatile*>(args)[i];
}

// Vector form, for METH_FASTCALL | METH_KEYWORDS methods. Empty slots are null.
// The slots only borrow: the caller of a vectorcall owns the argument vector
// and its references until the call returns (the interpreter's value stack,
// or the array it unpacks a keyword dict into, which holds new references),
// so nothing a conversion runs can free an argument.
template <std::size_t N>
[[gnu::always_inline]] inline std::array<PyObject*, N> bind_arguments(
    const ParameterDescription& description, PyObject* const* args, Py_ssize_t nargs,
    PyObject* kwnames) {
  std::array<PyObject*, N> slots{};
  if (kwnames == nullptr && static_cast<std::size_t>(nargs) == N &&
      description.keyword_only.empty()) {
    for (std::size_t i = 0; i < N; ++i) slots[i] = argument_at(args, i);
    return slots;
  }
  bind_vector(description, slots.data(), args, nargs, kwnames);
  return slots;
}

// The tuple form's slots. An argument given by keyword is held by a strong
// reference for the whole call: converting a later argument can run Python
// code (__index__, __float__) that empties the keyword dict, which would free
// the values it alone holds. Positional arguments stay borrowed, since the
// caller holds the tuple and a tuple never drops its items.
template <std::size_t N>
class HeldArguments {
 public:
  HeldArguments(const ParameterDescription& description, PyObject* args, PyObject* kwargs) {
    // The usual call, every parameter by position, needs no binding at all.
    if (kwargs == nullptr && static_cast<std::size_t>(PyTuple_GET_SIZE(args)) == N &&
        description.keyword_only.empty()) {
      for (std::size_t i = 0; i < N; ++i) slots_[i] = argument_at(&PyTuple_GET_ITEM(args, 0), i);
      return;
    }
    bind_tuple(description, slots_.data(), args, kwargs);
    if (kwargs == nullptr) return;
    // Binding runs no Python code before it succeeds, so the borrowed values
    // are all alive here.
    auto given = static_cast<std::size_t>(PyTuple_GET_SIZE(args));
    for (std::size_t i = given; i < N; ++i) held_[i] = Ref::borrow(slots_[i]);
  }

  PyObject* operator[](std::size_t i) const { return slots_[i]; }

 private:
  std::array<PyObject*, N> slots_{};
  std::array<Ref, N> held_;
};

// Tuple form, for constructors.
template <std::size_t N>
HeldArguments<N> bind_arguments(const ParameterDescription& description, PyObject* args,
                                PyObject* kwargs) {
  return HeldArguments<N>(description, args, kwargs);
}

}  // namespace kestrova::surface
