// Early return of an error value: the index readers check every step, and these keep each check one line.
#pragma once

#include "error.h"

// Declares var as the result of expr and returns its error from the enclosing function when it failed.
#define IXO_TRY(var, expr) \
  auto var = (expr);       \
  if (!var) return ::ixo::fail(std::move(var.error()))

// Returns the error of a Status or Result expression whose value is not needed.
#define IXO_CHECK(expr)                                          \
  do {                                                           \
    if (auto ixo_check_ = (expr); !ixo_check_)                   \
      return ::ixo::fail(std::move(ixo_check_.error()));         \
  } while (0)
