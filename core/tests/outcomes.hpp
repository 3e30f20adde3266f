// What a call gave, in the forms tests compare: the text of a thrown error,
// or the error an entry point returned; and a thread to call it on.
#pragma once

#include <gtest/gtest.h>
#include <pthread.h>

#include <cstddef>
#include <optional>

#include <string>
#include <type_traits>
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

// "CODE OFFSET+LENGTH MESSAGE" (no span: "CODE MESSAGE"), as case tables
// write an error.
inline std::string error_line(const Error& error) {
  std::string line(error.code_string());
  if (const std::optional<Span> span = error.span())
    line += " " + std::to_string(span->offset) + "+" + std::to_string(span->length);
  return line + " " + error.message();
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

// Runs `body` on a new thread with a stack of `bytes`, and waits for it.
template <class Body>
void on_stack_of(std::size_t bytes, Body&& body) {
  pthread_attr_t attr;
  ASSERT_EQ(pthread_attr_init(&attr), 0);
  ASSERT_EQ(pthread_attr_setstacksize(&attr, bytes), 0);
  pthread_t thread;
  const auto run = [](void* work) -> void* {
    (*static_cast<std::remove_reference_t<Body>*>(work))();
    return nullptr;
  };
  ASSERT_EQ(pthread_create(&thread, &attr, run, &body), 0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attr);
}

}  // namespace quarl
