// The message of the error an action raises, or "" when it raises nothing.
#pragma once

#include <exception>
#include <functional>
#include <string>

inline std::string message_of(const std::function<void()>& action) {
  try {
    action();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "";
}
