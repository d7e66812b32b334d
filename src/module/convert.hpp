#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "model/failure.hpp"
#include "model/fill.hpp"
#include "model/order_id.hpp"
#include "module/borrow.hpp"

namespace kestrova::surface {

// Argument kinds beyond the plain numbers.
// A str, read as UTF-8 into a view rather than a copy, so that looking up an
// id allocates nothing. The view holds for the whole call: the bound arguments
// keep the str alive, and a str keeps its UTF-8 form for as long as it lives.
struct Text {};
template <class Value>
struct Copy {};  // the value of an instance, copied under a momentary shared borrow
template <class Value>
struct Shared {};  // an instance held under a shared borrow for the call
template <class Value>
struct Exclusive {};  // an instance held under an exclusive borrow for the call

double to_double(PyObject* object);
std::int64_t to_int64(PyObject* object);
std::uint64_t to_uint64(PyObject* object);
std::string_view to_text_slow(PyObject* object);

// A compact ASCII str keeps its characters inline, and they are its UTF-8
// form, the very bytes PyUnicode_AsUTF8AndSize would hand back; every other
// object (subclasses, other strings, non-strings) takes the general path.
inline std::string_view to_text(PyObject* object) {
  if (PyUnicode_CheckExact(object) && PyUnicode_IS_COMPACT_ASCII(object)) {
    return {static_cast<const char*>(PyUnicode_DATA(object)),
            static_cast<std::size_t>(PyUnicode_GET_LENGTH(object))};
  }
  return to_text_slow(object);
}

template <class Kind>
struct Converter;
template <>
struct Converter<double> {
  static double from(PyObject* object) { return to_double(object); }
};
template <>
struct Converter<std::int64_t> {
  static std::int64_t from(PyObject* object) { return to_int64(object); }
};
template <>
struct Converter<std::uint64_t> {
  static std::uint64_t from(PyObject* object) { return to_uint64(object); }
};
template <>
struct Converter<Text> {
  static std::string_view from(PyObject* object) { return to_text(object); }
};
template <class Value>
struct Converter<Copy<Value>> {
  static Value from(PyObject* object) { return *SharedBorrow<Value>::of(object); }
};
template <class Value>
struct Converter<Shared<Value>> {
  static SharedBorrow<Value> from(PyObject* object) { return SharedBorrow<Value>::of(object); }
};
template <class Value>
struct Converter<Exclusive<Value>> {
  static ExclusiveBorrow<Value> from(PyObject* object) {
    return ExclusiveBorrow<Value>::of(object);
  }
};

// A TypeError from converting the argument `name` becomes
// "argument '<name>': <message>"; every other error passes unchanged.
void name_argument_error(const char* name);

template <class Kind>
auto convert_named(PyObject* object, const char* name) {
  try {
    return Converter<Kind>::from(object);
  } catch (const PythonErrorSet&) {
    name_argument_error(name);
    throw;
  }
}

template <class Kind>
struct IsCopy : std::false_type {};
template <class Value>
struct IsCopy<Copy<Value>> : std::true_type {
  using Type = Value;
};

template <class Kind>
auto convert(PyObject* object, const char* name) {
  // An exact float cannot fail, so it is read in place, without the call.
  if constexpr (std::is_same_v<Kind, double>) {
    if (PyFloat_CheckExact(object)) return PyFloat_AS_DOUBLE(object);
  }
  // Nor can an exact int of at most one digit (magnitude below 2^30): its
  // value is the sign of its size times the digit, as the interpreter itself
  // reads such ints (the digit of zero may be anything; times 0 it is 0).
  if constexpr (std::is_same_v<Kind, std::int64_t>) {
    if (PyLong_CheckExact(object)) {
      Py_ssize_t size = Py_SIZE(object);
      if (size >= -1 && size <= 1) {
        return static_cast<std::int64_t>(size) *
               static_cast<std::int64_t>(reinterpret_cast<PyLongObject*>(object)->ob_digit[0]);
      }
    }
  }
  // Nor can a copy from an instance of the class itself that no call holds.
  if constexpr (IsCopy<Kind>::value) {
    if (auto borrow = SharedBorrow<typename IsCopy<Kind>::Type>::of_exact(object)) return **borrow;
  }
  return convert_named<Kind>(object, name);
}

// Results: every one a new reference.
inline Ref none() { return Ref::borrow(Py_None); }
inline Ref not_implemented() { return Ref::borrow(Py_NotImplemented); }
inline Ref to_python(bool value) { return Ref::borrow(value ? Py_True : Py_False); }
inline Ref to_python(std::int64_t value) { return made(PyLong_FromLongLong(value)); }
inline Ref to_python(std::uint64_t value) { return made(PyLong_FromUnsignedLongLong(value)); }
inline Ref to_python(double value) { return made(PyFloat_FromDouble(value)); }
inline Ref to_python(std::string_view text) {
  return made(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}
inline Ref to_python(const std::string& text) { return to_python(std::string_view(text)); }
Ref to_python(const OrderId& id);
Ref to_python(const FillId& id);

// Taken by reference, so that the value is copied once, into the new object
// after its allocation: a copy made at once would read fields the core has
// only just stored one by one, and wait for them.
template <class Value>
  requires ClassValue<std::remove_cvref_t<Value>>
Ref to_python(Value&& value) {
  return make_instance(std::forward<Value>(value));
}

template <class First, class Second>
Ref to_python(const std::pair<First, Second>& pair) {
  Ref first = to_python(pair.first);
  Ref second = to_python(pair.second);
  Ref tuple = made(PyTuple_New(2));
  PyTuple_SET_ITEM(tuple.get(), 0, first.release());
  PyTuple_SET_ITEM(tuple.get(), 1, second.release());
  return tuple;
}

template <class Value>
Ref to_python(std::optional<Value> value) {
  return value ? to_python(std::move(*value)) : none();
}

// A list of `size` items, made by `visit(append)` where append takes values.
template <class Visit>
Ref to_python_list(std::size_t size, Visit&& visit) {
  Ref list = made(PyList_New(static_cast<Py_ssize_t>(size)));
  Py_ssize_t next = 0;
  visit([&](auto&& value) {
    if (static_cast<std::size_t>(next) >= size) throw InvariantFailure("list size mismatch");
    PyList_SET_ITEM(list.get(), next++, to_python(std::forward<decltype(value)>(value)).release());
  });
  if (static_cast<std::size_t>(next) != size) throw InvariantFailure("list size mismatch");
  return list;
}

}  // namespace kestrova::surface
