#pragma once

#include <source_location>
#include <string>

namespace kestrova {

// A caller's input broke a rule of the model; the message is fixed text.
struct ValidationError {
  const char* message;
};

// An assumption inside the library does not hold; carries where it broke.
struct InvariantFailure {
  std::string message;
  std::source_location where;

  explicit InvariantFailure(std::string text,
                            std::source_location location = std::source_location::current())
      : message(std::move(text)), where(location) {}
};

}  // namespace kestrova
