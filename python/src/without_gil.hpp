// The interpreter lock released for as long as a WithoutGil lives. No Python
// object may be touched meanwhile.
#pragma once

#include <Python.h>

namespace tessel {

class WithoutGil {
 public:
  WithoutGil() noexcept : saved_(PyEval_SaveThread()) {}
  ~WithoutGil() { PyEval_RestoreThread(saved_); }
  WithoutGil(const WithoutGil&) = delete;
  WithoutGil& operator=(const WithoutGil&) = delete;

 private:
  PyThreadState* saved_;
};

}  // namespace tessel
