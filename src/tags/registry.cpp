// The tables built from the semantic-tag registry's rows, and the checks that keep them in
// order.
#include "tags/registry.h"

#include "lib/cbor.h"
#include "lib/errors.h"
#include "lib/once.h"

#include <cstring>

namespace kelvo {

// ---- Writing

const SemanticEncoder kTypeEncoders[kTypeRows] = {
#define KELVO_REGISTRY_ENCODER(row, module, type, encoder) encoder,
    KELVO_TYPE_ROWS(KELVO_REGISTRY_ENCODER)
#undef KELVO_REGISTRY_ENCODER
};

namespace {

const char *const kObj[] = {"obj"};

struct TypeSpec {
    const char *module;
    const char *type;
};
const TypeSpec kTypeSpecs[kTypeRows] = {
#define KELVO_REGISTRY_TYPE(row, module, type, encoder) {module, type},
    KELVO_TYPE_ROWS(KELVO_REGISTRY_TYPE)
#undef KELVO_REGISTRY_TYPE
};

// Imports `module` and returns its attribute `name`, which must be a type. New reference or NULL.
PyObject *import_type(const char *module, const char *name) {
    Ref mod(PyImport_ImportModule(module));
    if (!mod) return nullptr;
    Ref t(PyObject_GetAttrString(mod.get(), name));
    if (t && !PyType_Check(t.get())) {
        raise_not_instance(t.get(), "type");
        return nullptr;
    }
    return t.release();
}

}  // namespace

#define KELVO_REGISTRY_METHOD_SPEC(method, encoder) \
    const ArgumentSpec k_##method = {#method, "CBOREncoder", kObj, 1, 0, 1, nullptr, 0};
KELVO_TAG_METHODS(KELVO_REGISTRY_METHOD_SPEC)
#undef KELVO_REGISTRY_METHOD_SPEC

OnceState g_type_table_once;
PyObject *g_type_table[kTypeRows];

PyObject *const *build_type_table() {
    OnceClaim claim(g_type_table_once);
    if (claim.failed()) return nullptr;
    if (claim.done()) return g_type_table;
    PyObject *rows[kTypeRows] = {};
    for (int i = 0; i < kTypeRows; ++i) {
        rows[i] = import_type(kTypeSpecs[i].module, kTypeSpecs[i].type);
        if (rows[i] == nullptr) {
            for (int j = 0; j < i; ++j) Py_DECREF(rows[j]);
            return nullptr;
        }
    }
    memcpy(g_type_table, rows, sizeof rows);
    claim.succeed();
    return g_type_table;
}

// ---- Reading

namespace {

constexpr TagRow kTagRows[] = {
#define KELVO_REGISTRY_CODEC(number, name, decoder) {number, name, TagRowAction::Codec, decoder},
#define KELVO_REGISTRY_BUILTIN(number, name, action) {number, name, TagRowAction::action, nullptr},
    KELVO_TAG_ROWS(KELVO_REGISTRY_CODEC, KELVO_REGISTRY_BUILTIN)
#undef KELVO_REGISTRY_CODEC
#undef KELVO_REGISTRY_BUILTIN
};
constexpr size_t kTagRowCount = sizeof kTagRows / sizeof kTagRows[0];

constexpr bool rows_sorted() {
    for (size_t i = 1; i < kTagRowCount; ++i)
        if (kTagRows[i - 1].tag >= kTagRows[i].tag) return false;
    return true;
}
static_assert(rows_sorted(), "the tag rows must be sorted by tag number, each number once");

}  // namespace

const TagRow *find_tag_row(uint64_t tag) {
    size_t lo = 0;
    size_t hi = kTagRowCount;
    while (lo < hi) {
        size_t mid = (lo + hi) / 2;
        if (kTagRows[mid].tag < tag)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo < kTagRowCount && kTagRows[lo].tag == tag ? &kTagRows[lo] : nullptr;
}

}  // namespace kelvo
