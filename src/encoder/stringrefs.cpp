// String-reference tables: strings already written in the current namespace.
#include "encoder/encoder.h"

namespace kelvo {

void string_tables_clear(StringTable *&) {}

void string_tables_free(StringTable *&) {}

}  // namespace kelvo
