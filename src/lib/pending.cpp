// Placeholders for module contents that are not built yet; each is removed when the
// unit that provides it arrives.
#include "lib/module.h"

namespace kelvo {

PyMethodDef *module_function(const char *) { return nullptr; }

TypeGetter module_class(const char *) { return nullptr; }

}  // namespace kelvo
