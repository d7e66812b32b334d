#pragma once

#include <optional>
#include <utility>

#include "module/instance.hpp"

namespace kestrova::surface {

// A shared borrow of one instance's value, given back when the guard goes.
template <ClassValue Value>
class SharedBorrow {
 public:
  // Checks the type (conversion error naming the class) and takes the borrow
  // (RuntimeError "Already mutably borrowed").
  static SharedBorrow of(PyObject* object) {
    if (!is_instance<Value>(object)) throw_conversion_error(object, ClassOf<Value>::kName);
    Instance<Value>* instance = instance_cast<Value>(object);
    if (!instance->borrow_flag.try_share()) {
      PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
      throw_python_error();
    }
    return SharedBorrow(instance);
  }

  // The borrow of an instance of exactly the class, taken inline; none for
  // anything else (a subclass, another object, an exclusive borrow), which
  // `of` then takes the long way and reports.
  [[gnu::always_inline]] static std::optional<SharedBorrow> of_exact(PyObject* object) noexcept {
    if (!Py_IS_TYPE(object, class_types[static_cast<std::size_t>(ClassOf<Value>::kId)])) {
      return std::nullopt;
    }
    Instance<Value>* instance = instance_cast<Value>(object);
    if (!instance->borrow_flag.try_share()) return std::nullopt;
    return SharedBorrow(instance);
  }

  SharedBorrow(SharedBorrow&& other) noexcept
      : instance_(std::exchange(other.instance_, nullptr)) {}
  SharedBorrow& operator=(SharedBorrow&&) = delete;
  ~SharedBorrow() {
    if (instance_ != nullptr) instance_->borrow_flag.unshare();
  }

  const Value& operator*() const { return instance_->value; }
  const Value* operator->() const { return &instance_->value; }

 private:
  explicit SharedBorrow(Instance<Value>* instance) : instance_(instance) {}
  Instance<Value>* instance_;
};

// The exclusive borrow: RuntimeError "Already borrowed" on any other borrow.
template <ClassValue Value>
class ExclusiveBorrow {
 public:
  static ExclusiveBorrow of(PyObject* object) {
    if (!is_instance<Value>(object)) throw_conversion_error(object, ClassOf<Value>::kName);
    Instance<Value>* instance = instance_cast<Value>(object);
    if (!instance->borrow_flag.try_exclude()) {
      PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
      throw_python_error();
    }
    return ExclusiveBorrow(instance);
  }

  ExclusiveBorrow(ExclusiveBorrow&& other) noexcept
      : instance_(std::exchange(other.instance_, nullptr)) {}
  ExclusiveBorrow& operator=(ExclusiveBorrow&&) = delete;
  ~ExclusiveBorrow() {
    if (instance_ != nullptr) instance_->borrow_flag.unexclude();
  }

  Value& operator*() const { return instance_->value; }
  Value* operator->() const { return &instance_->value; }

 private:
  explicit ExclusiveBorrow(Instance<Value>* instance) : instance_(instance) {}
  Instance<Value>* instance_;
};

}  // namespace kestrova::surface
