// Placeholders for module contents that are not built yet; each is removed when the
// unit that provides it arrives.
#include "lib/module.h"

namespace kelvo {

PyMethodDef *module_function(const char *) { return nullptr; }

TypeGetter module_class(const char *) { return nullptr; }

int register_frozendict_mapping() { return 0; }

int add_undefined(PyObject *) { return 0; }

}  // namespace kelvo
