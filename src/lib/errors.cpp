#include "lib/errors.h"

#include "lib/access.h"
#include "lib/once.h"

namespace kelvo {

namespace {

OnceState g_internal_once;
PyObject *g_internal_type;

}  // namespace

PyObject *internal_error_type() {
    if (g_internal_once.filled()) return g_internal_type;
    OnceClaim claim(g_internal_once);
    if (claim.failed()) return nullptr;
    if (claim.done()) return g_internal_type;
    PyObject *t =
        PyErr_NewExceptionWithDoc("kelvo.InternalError",
                                  "Raised when an internal invariant of the codec is broken, or when an operation "
                                  "running on an encoder or decoder finds its state taken by another caller.",
                                  PyExc_BaseException, nullptr);
    if (t == nullptr) return nullptr;
    g_internal_type = t;
    claim.succeed();
    return t;
}

int raise_internal(const char *message) {
    PyObject *t = internal_error_type();
    if (t != nullptr) PyErr_SetString(t, message);
    return -1;
}

void raise_access_error(bool exclusive_wanted, AccessSite site) {
    const char *msg = exclusive_wanted ? "Already borrowed" : "Already mutably borrowed";
    if (site == AccessSite::Entry)
        PyErr_SetString(PyExc_RuntimeError, msg);
    else
        raise_internal(msg);
}

PyObject *type_qualname(PyTypeObject *type) {
    PyObject *name = PyType_GetQualName(type);
    if (name != nullptr && PyUnicode_Check(name)) return name;
    Py_XDECREF(name);
    PyErr_Clear();
    return PyUnicode_FromString("<failed to extract type name>");
}

int raise_not_instance(PyObject *obj, const char *expected) {
    if (obj == Py_None) {
        PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", expected);
        return -1;
    }
    Ref name(type_qualname(Py_TYPE(obj)));
    if (!name) return -1;
    PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", name.get(), expected);
    return -1;
}

void add_note_to_current(PyObject *note) {
    PyObject *exc = PyErr_GetRaisedException();
    if (exc == nullptr) return;
    PyObject *r = PyObject_CallMethod(exc, "add_note", "O", note);
    if (r == nullptr) {
        // The note could not be added: keep the original exception, not the new one.
        PyErr_Clear();
    }
    Py_XDECREF(r);
    PyErr_SetRaisedException(exc);
}

int add_processing_note(const char *name) {
    PyObject *exc = PyErr_GetRaisedException();
    Ref note(PyUnicode_FromFormat("while processing '%s'", name));
    PyErr_SetRaisedException(exc);
    if (note) add_note_to_current(note.get());
    return -1;
}

void chain_cause(PyObject *cause) {
    PyObject *exc = PyErr_GetRaisedException();
    if (exc == nullptr) {
        Py_XDECREF(cause);
        return;
    }
    PyException_SetCause(exc, cause);
    PyErr_SetRaisedException(exc);
}

void report_unraisable(PyObject *context) { PyErr_WriteUnraisable(context); }

}  // namespace kelvo
