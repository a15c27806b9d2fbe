#pragma once
// Binding of fast-call arguments (positional array plus keyword names) to
// named parameters, with the interpreter's wording for binding errors.

#include <Python.h>

#include <cstddef>
#include <initializer_list>
#include <span>

namespace vessik::api {

struct Signature {
  const char* function;                  // for messages: "transpose"
  std::span<const char* const> names;    // every parameter, in position order
  std::size_t required;                  // the first `required` have no default
};

// Fills out[i] with the argument for parameter i (borrowed), or nullptr when
// an optional parameter was not given. False with TypeError set when binding
// fails: too many positional arguments, a missing required argument, an
// unknown keyword or a parameter given twice.
bool bind_arguments(const Signature& signature, PyObject* const* args, std::size_t nargsf, PyObject* kwnames,
                    PyObject** out);

}  // namespace vessik::api
