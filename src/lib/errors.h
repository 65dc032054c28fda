// Error reporting shared by every unit: the internal-error exception, the type-name
// messages of argument conversions and the "while processing" note.
#pragma once

#include "lib/pyref.h"

namespace kelvo {

// The internal-error exception type (derived from BaseException), created on first use.
PyObject *internal_error_type();
// Raises the internal-error exception with the given text. Always returns -1.
int raise_internal(const char *message);

// The __qualname__ of an object's type for messages, or "<failed to extract type name>".
// Returns a new str reference (never NULL unless memory is exhausted).
PyObject *type_qualname(PyTypeObject *type);

// TypeError "'{}' object is not an instance of '{}'" (or "'None' is not an instance of '{}'").
// Always returns -1.
int raise_not_instance(PyObject *obj, const char *expected);

// Adds the note "while processing '{}'" to the current exception. Always returns -1.
int add_processing_note(const char *name);

// Adds a note text to the current exception through its add_note method.
void add_note_to_current(PyObject *note);

// Sets `cause` as the __cause__ of the current exception. Steals `cause`.
void chain_cause(PyObject *cause);

// Reports the current exception through sys.unraisablehook and clears it.
void report_unraisable(PyObject *context);

}  // namespace kelvo
