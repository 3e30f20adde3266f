// What a call gave, in the forms tests compare: the text of a thrown error,
// or the error an entry point returned.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <variant>

#include "quarl/compile.hpp"
#include "quarl/error.hpp"

namespace quarl {

// The call's result, or "code: message" of the Error it threw.
template <class Call>
std::string outcome(Call&& call) {
  try {
    return call();
  } catch (const Error& e) {
    return std::string(e.code_string()) + ": " + e.message();
  }
}

// The error an entry point failed with; a test failure when it succeeded.
template <class T>
Error error_of(const Outcome<T>& result) {
  if (result) {
    ADD_FAILURE() << "succeeded";
    return Error::syntax("succeeded");
  }
  return std::get<Error>(result.error());
}

}  // namespace quarl
