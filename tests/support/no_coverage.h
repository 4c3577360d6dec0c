// TREE_CHECK_NO_COVERAGE: marks harness and checking code that a fuzzer must
// not be steered by, so clang gives it no coverage feedback (other compilers
// ignore it). Shared by the fuzz harness headers and the test helpers built
// from them.
#pragma once

#ifndef TREE_CHECK_NO_COVERAGE
#if defined(__clang__)
#define TREE_CHECK_NO_COVERAGE __attribute__((no_sanitize("coverage")))
#else
#define TREE_CHECK_NO_COVERAGE
#endif
#endif
