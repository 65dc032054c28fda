// Program: the native typed walker. It reads the encoded item along a compiled plan and builds
// the typed value directly; any item it does not read itself goes to `_kelvo.loads` and the
// plan's Python converter. Any failure is reported as an exception with no detail: the caller
// then takes the Python path, which finds the same fault and names it with its path and offset.
#include "typed/program.h"

#include <bit>
#include <cstring>

#include "lib/compat.h"
#include "lib/utf8.h"

namespace kelvo::typed {

namespace {

enum class Kind : uint8_t {
    Any,
    Py,
    Int,
    Bool,
    Float,
    Str,
    Bytes,
    None,
    List,
    Tuple,
    Dict,
    Optional,
    Class,
    DateTime,
    Date,
    Uuid,
    Decimal,
    Raw,  // the item's own bytes, checked as loads checks them  // read natively in their usual forms, else as Py
};
enum class Build : uint8_t { Call, Direct, TypedDict, NamedTuple };

struct Field {
    PyObject *name = nullptr;        // attribute name, or the TypedDict key
    const char *text_key = nullptr;  // the wire key when it is a text (borrowed from key)
    Py_ssize_t text_len = 0;
    PyObject *key = nullptr;  // the wire key object
    bool int_key = false;
    int64_t int_value = 0;
    uint32_t node = 0;
    PyObject *default_value = nullptr;  // null: no default
    PyObject *factory = nullptr;        // null: no default factory
    PyObject *member = nullptr;         // the slot's member descriptor, for a direct build
    bool required = false;
    bool init = true;
    // The key's shortest encoding (head and text), when it takes at most 16 bytes, as two
    // little-endian words and the masks of the bytes it covers: compared with the input a
    // word at a time.
    uint64_t enc_word[2] = {0, 0};
    uint64_t enc_mask[2] = {0, 0};
    uint8_t enc_len = 0;  // 0: no encoded form kept
};

// Keeps the encoding of a key (at most 16 bytes) in the field's words.
void keep_encoded_key(Field &f, const uint8_t *enc, size_t n) {
    if (std::endian::native != std::endian::little || n == 0 || n > 16) return;
    for (size_t i = 0; i < n; ++i) {
        f.enc_word[i / 8] |= static_cast<uint64_t>(enc[i]) << (8 * (i % 8));
        f.enc_mask[i / 8] |= uint64_t{0xff} << (8 * (i % 8));
    }
    f.enc_len = static_cast<uint8_t>(n);
}

// The shortest head of a major type and argument, into out (9 bytes); its length.
size_t encode_head(uint8_t *out, int major, uint64_t arg) {
    const uint8_t m = static_cast<uint8_t>(major << 5);
    if (arg < 24) {
        out[0] = static_cast<uint8_t>(m | arg);
        return 1;
    }
    const int width = arg <= 0xff ? 1 : arg <= 0xffff ? 2 : arg <= 0xffffffffull ? 4 : 8;
    out[0] = static_cast<uint8_t>(m | (width == 1 ? 24 : width == 2 ? 25 : width == 4 ? 26 : 27));
    for (int i = 0; i < width; ++i) out[1 + i] = static_cast<uint8_t>(arg >> (8 * (width - 1 - i)));
    return 1 + static_cast<size_t>(width);
}

struct Node {
    Kind kind = Kind::Any;
    PyObject *convert = nullptr;  // the plan's Python converter
    PyObject *exact = nullptr;    // a type that `convert` returns unchanged (or null)
    uint32_t a = 0, b = 0;        // child nodes (item; key and value; inner)
    // Classes
    PyObject *cls = nullptr;
    Build build = Build::Call;
    bool array_form = false;
    bool forbid_unknown = false;
    bool post_init = false;
    Field *fields = nullptr;
    uint32_t n_fields = 0;
    uint32_t last_required = 0;     // array form: the items that must be present
    PyObject *all_names = nullptr;  // names of the init fields, in order (keyword names for a call)
    PyObject *where = nullptr;      // the class's name, for messages
    PyObject *kinds = nullptr;      // an optional's: the kinds of item its union takes (a frozenset)
};

struct ProgramObject {
    PyObject_HEAD
    Node *nodes;
    uint32_t n_nodes;
    uint32_t cap_nodes;
    PyObject *loads;
    PyObject *decode_error;
    PyObject *decode_eof;
    Py_ssize_t max_depth;
    const SemanticKit *kit;  // in the module's state, which the Program type keeps alive
    // The typed codec's failure types: a value that does not fit (with its `steps`, the path
    // innermost first), an array position on that path, and the maker of the failure for a
    // class whose own code raised: build_failure(cls, exception).
    PyObject *invalid;
    PyObject *index_type;
    PyObject *build_failure;
    PyObject *kind_of;  // kind_of(value): what a union dispatches on
};

void clear_node(Node &n) {
    Py_CLEAR(n.convert);
    Py_CLEAR(n.exact);
    Py_CLEAR(n.cls);
    Py_CLEAR(n.all_names);
    Py_CLEAR(n.where);
    Py_CLEAR(n.kinds);
    for (uint32_t i = 0; i < n.n_fields; ++i) {
        Py_CLEAR(n.fields[i].name);
        Py_CLEAR(n.fields[i].key);
        Py_CLEAR(n.fields[i].default_value);
        Py_CLEAR(n.fields[i].factory);
        Py_CLEAR(n.fields[i].member);
    }
    PyMem_Free(n.fields);
    n.fields = nullptr;
    n.n_fields = 0;
}

void program_dealloc(PyObject *self) {
    auto *p = reinterpret_cast<ProgramObject *>(self);
    PyTypeObject *tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    for (uint32_t i = 0; i < p->n_nodes; ++i) clear_node(p->nodes[i]);
    PyMem_Free(p->nodes);
    Py_CLEAR(p->loads);
    Py_CLEAR(p->decode_error);
    Py_CLEAR(p->decode_eof);
    Py_CLEAR(p->invalid);
    Py_CLEAR(p->index_type);
    Py_CLEAR(p->build_failure);
    Py_CLEAR(p->kind_of);
    tp->tp_free(self);
    Py_DECREF(tp);
}

int program_traverse(PyObject *self, visitproc visit, void *arg) {
    auto *p = reinterpret_cast<ProgramObject *>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(p->invalid);
    Py_VISIT(p->index_type);
    Py_VISIT(p->build_failure);
    Py_VISIT(p->kind_of);
    for (uint32_t i = 0; i < p->n_nodes; ++i) {
        const Node &n = p->nodes[i];
        Py_VISIT(n.convert);
        Py_VISIT(n.exact);
        Py_VISIT(n.cls);
        Py_VISIT(n.where);
        Py_VISIT(n.kinds);
        for (uint32_t j = 0; j < n.n_fields; ++j) {
            Py_VISIT(n.fields[j].default_value);
            Py_VISIT(n.fields[j].factory);
            Py_VISIT(n.fields[j].member);
        }
    }
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Compiling

class Compiler {
public:
    Compiler(ProgramObject *p) : p_(p) {}

    // The node index for a plan, compiling it on first sight; -1 with the exception set.
    long add(PyObject *plan) {
        Ref id(PyLong_FromVoidPtr(plan));
        if (!id) return -1;
        PyObject *known = nullptr;
        if (PyDict_GetItemRef(memo_.get(), id.get(), &known) < 0) return -1;
        if (known != nullptr) {
            long index = PyLong_AsLong(known);
            Py_DECREF(known);
            return index;
        }
        Ref shape(PyObject_GetAttrString(plan, "shape"));
        if (!shape) return -1;
        if (!PyTuple_Check(shape.get()) || PyTuple_GET_SIZE(shape.get()) < 1 ||
            !PyUnicode_Check(PyTuple_GET_ITEM(shape.get(), 0))) {
            PyErr_SetString(PyExc_TypeError, "a plan's shape is a tuple starting with its kind");
            return -1;
        }
        PyObject *kind = PyTuple_GET_ITEM(shape.get(), 0);
        if (PyUnicode_EqualToUTF8(kind, "late")) {
            long index = add(PyTuple_GET_ITEM(shape.get(), 1));
            if (index < 0) return -1;
            return remember(id.get(), index) < 0 ? -1 : index;
        }
        long index = new_node();
        if (index < 0 || remember(id.get(), index) < 0) return -1;
        Ref convert(PyObject_GetAttrString(plan, "convert"));
        if (!convert) return -1;
        p_->nodes[index].convert = convert.release();
        static const struct {
            const char *name;
            Kind kind;
            int children;
        } simple[] = {
            {"any", Kind::Any, 0},     {"py", Kind::Py, 0},       {"int", Kind::Int, 0},     {"bool", Kind::Bool, 0},
            {"float", Kind::Float, 0}, {"str", Kind::Str, 0},     {"bytes", Kind::Bytes, 0}, {"none", Kind::None, 0},
            {"list", Kind::List, 1},   {"tuple", Kind::Tuple, 1}, {"dict", Kind::Dict, 2},
        };
        static const struct {
            const char *name;
            Kind kind;
        } exact[] = {
            {"py", Kind::Py},     {"datetime", Kind::DateTime}, {"date", Kind::Date},
            {"uuid", Kind::Uuid}, {"decimal", Kind::Decimal},   {"raw", Kind::Raw},
        };
        for (const auto &e : exact) {
            if (!PyUnicode_EqualToUTF8(kind, e.name) || PyTuple_GET_SIZE(shape.get()) != 2) continue;
            Node &node = p_->nodes[index];
            node.kind = e.kind;
            node.exact = Py_NewRef(PyTuple_GET_ITEM(shape.get(), 1));
            // A semantic type the module could not vouch for is read through loads.
            const SemanticKit &kit = *p_->kit;
            if ((e.kind == Kind::Uuid && node.exact != kit.uuid.type) ||
                (e.kind == Kind::Decimal && node.exact != kit.decimal_type))
                node.kind = Kind::Py;
            return index;
        }
        for (const auto &s : simple) {
            if (!PyUnicode_EqualToUTF8(kind, s.name)) continue;
            if (PyTuple_GET_SIZE(shape.get()) != 1 + s.children) return bad_shape();
            p_->nodes[index].kind = s.kind;
            if (s.children >= 1) {
                long a = add(PyTuple_GET_ITEM(shape.get(), 1));
                if (a < 0) return -1;
                p_->nodes[index].a = static_cast<uint32_t>(a);
            }
            if (s.children >= 2) {
                long b = add(PyTuple_GET_ITEM(shape.get(), 2));
                if (b < 0) return -1;
                p_->nodes[index].b = static_cast<uint32_t>(b);
            }
            return index;
        }
        if (PyUnicode_EqualToUTF8(kind, "class")) return add_class(index, shape.get()) < 0 ? -1 : index;
        if (PyUnicode_EqualToUTF8(kind, "optional") && PyTuple_GET_SIZE(shape.get()) == 3 &&
            PyFrozenSet_Check(PyTuple_GET_ITEM(shape.get(), 2))) {
            long a = add(PyTuple_GET_ITEM(shape.get(), 1));
            if (a < 0) return -1;
            p_->nodes[index].kind = Kind::Optional;
            p_->nodes[index].a = static_cast<uint32_t>(a);
            p_->nodes[index].kinds = Py_NewRef(PyTuple_GET_ITEM(shape.get(), 2));
            return index;
        }
        return bad_shape();
    }

    bool ok() const { return memo_.get() != nullptr; }
    Compiler(const Compiler &) = delete;
    Compiler &operator=(const Compiler &) = delete;

private:
    long bad_shape() {
        PyErr_SetString(PyExc_TypeError, "unknown plan shape");
        return -1;
    }

    int remember(PyObject *id, long index) {
        Ref value(PyLong_FromLong(index));
        if (!value) return -1;
        return PyDict_SetItem(memo_.get(), id, value.get());
    }

    long new_node() {
        if (p_->n_nodes == p_->cap_nodes) {
            const uint32_t cap = p_->cap_nodes == 0 ? 8 : p_->cap_nodes * 2;
            void *grown = PyMem_Realloc(p_->nodes, cap * sizeof(Node));
            if (grown == nullptr) {
                PyErr_NoMemory();
                return -1;
            }
            p_->nodes = static_cast<Node *>(grown);
            p_->cap_nodes = cap;
        }
        new (&p_->nodes[p_->n_nodes]) Node();
        return static_cast<long>(p_->n_nodes++);
    }

    // ("class", cls, build, array_form, forbid_unknown, post_init, fields, missing, where),
    // each field being (name, key, plan, default or `missing`, factory or `missing`, required,
    // init, member descriptor or None), `missing` the marker object and `where` the class's
    // name.
    int add_class(long index, PyObject *shape) {
        if (PyTuple_GET_SIZE(shape) != 9 || !PyUnicode_Check(PyTuple_GET_ITEM(shape, 8)))
            return static_cast<int>(bad_shape());
        PyObject *build = PyTuple_GET_ITEM(shape, 2);
        PyObject *fields = PyTuple_GET_ITEM(shape, 6);
        PyObject *missing = PyTuple_GET_ITEM(shape, 7);
        if (!PyTuple_Check(fields)) return static_cast<int>(bad_shape());
        const Py_ssize_t n = PyTuple_GET_SIZE(fields);
        {
            Node &node = p_->nodes[index];
            node.kind = Kind::Class;
            node.cls = Py_NewRef(PyTuple_GET_ITEM(shape, 1));
            node.where = Py_NewRef(PyTuple_GET_ITEM(shape, 8));
            node.build = PyUnicode_EqualToUTF8(build, "direct")       ? Build::Direct
                         : PyUnicode_EqualToUTF8(build, "typeddict")  ? Build::TypedDict
                         : PyUnicode_EqualToUTF8(build, "namedtuple") ? Build::NamedTuple
                                                                      : Build::Call;
            node.array_form = PyObject_IsTrue(PyTuple_GET_ITEM(shape, 3)) == 1;
            node.forbid_unknown = PyObject_IsTrue(PyTuple_GET_ITEM(shape, 4)) == 1;
            node.post_init = PyObject_IsTrue(PyTuple_GET_ITEM(shape, 5)) == 1;
            node.fields = static_cast<Field *>(PyMem_Calloc(n > 0 ? static_cast<size_t>(n) : 1, sizeof(Field)));
            if (node.fields == nullptr) {
                PyErr_NoMemory();
                return -1;
            }
            for (Py_ssize_t i = 0; i < n; ++i) new (&node.fields[i]) Field();
            node.n_fields = static_cast<uint32_t>(n);
        }
        Ref names(PyList_New(0));
        if (!names) return -1;
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject *row = PyTuple_GET_ITEM(fields, i);
            if (!PyTuple_Check(row) || PyTuple_GET_SIZE(row) != 8) return static_cast<int>(bad_shape());
            long child = add(PyTuple_GET_ITEM(row, 2));
            if (child < 0) return -1;
            // add() may have moved the node array: index it again.
            Field &f = p_->nodes[index].fields[i];
            f.node = static_cast<uint32_t>(child);
            f.name = Py_NewRef(PyTuple_GET_ITEM(row, 0));
            f.key = Py_NewRef(PyTuple_GET_ITEM(row, 1));
            uint8_t enc[32];
            if (PyUnicode_Check(f.key)) {
                f.text_key = PyUnicode_AsUTF8AndSize(f.key, &f.text_len);
                if (f.text_key == nullptr) return -1;
                if (f.text_len <= 16) {
                    const size_t h = encode_head(enc, 3, static_cast<uint64_t>(f.text_len));
                    std::memcpy(enc + h, f.text_key, static_cast<size_t>(f.text_len));
                    keep_encoded_key(f, enc, h + static_cast<size_t>(f.text_len));
                }
            } else if (PyLong_CheckExact(f.key)) {
                int overflow = 0;
                f.int_value = PyLong_AsLongLongAndOverflow(f.key, &overflow);
                if (f.int_value == -1 && PyErr_Occurred()) return -1;
                f.int_key = overflow == 0;  // a key beyond 64 bits never matches a native read
                if (f.int_key)
                    keep_encoded_key(f, enc,
                                     f.int_value >= 0 ? encode_head(enc, 0, static_cast<uint64_t>(f.int_value))
                                                      : encode_head(enc, 1, ~static_cast<uint64_t>(f.int_value)));
            }
            PyObject *def = PyTuple_GET_ITEM(row, 3);
            PyObject *factory = PyTuple_GET_ITEM(row, 4);
            if (def != missing) f.default_value = Py_NewRef(def);
            if (factory != missing) f.factory = Py_NewRef(factory);
            f.required = PyObject_IsTrue(PyTuple_GET_ITEM(row, 5)) == 1;
            f.init = PyObject_IsTrue(PyTuple_GET_ITEM(row, 6)) == 1;
            if (PyObject *member = PyTuple_GET_ITEM(row, 7); Py_IS_TYPE(member, &PyMemberDescr_Type))
                f.member = Py_NewRef(member);
            if (f.required) p_->nodes[index].last_required = static_cast<uint32_t>(i + 1);
            if (f.init && PyList_Append(names.get(), f.name) < 0) return -1;
        }
        PyObject *all = PyList_AsTuple(names.get());
        if (all == nullptr) return -1;
        p_->nodes[index].all_names = all;
        return 0;
    }

    ProgramObject *p_;
    Ref memo_{PyDict_New()};
};

// ---------------------------------------------------------------------------------------------
// Walking

// A str from UTF-8 text, made as loads makes it (strict errors).
PyObject *make_text(const uint8_t *p, size_t n) { return decode_utf8_text(p, n, nullptr); }

struct Head {
    int major;
    int info;
    uint64_t arg;
};

class Walker {
public:
    Walker(ProgramObject *p, const uint8_t *data, size_t size) : p_(p), data_(data), size_(size) {}

    PyObject *read(uint32_t index, Py_ssize_t depth) {
        const Node &node = p_->nodes[index];
        const size_t start = pos_;
        Head h;
        if (!head(h)) return nullptr;
        switch (node.kind) {
            case Kind::Int:
                if (h.major == 0) return PyLong_FromUnsignedLongLong(h.arg);
                if (h.major == 1 && h.arg <= static_cast<uint64_t>(INT64_MAX))
                    return PyLong_FromLongLong(-1 - static_cast<int64_t>(h.arg));
                break;
            case Kind::Bool:
                if (h.major == 7 && (h.info == 20 || h.info == 21)) return Py_NewRef(h.info == 21 ? Py_True : Py_False);
                break;
            case Kind::None:
                if (h.major == 7 && h.info == 22) return Py_NewRef(Py_None);
                break;
            case Kind::Float:
                if (h.major == 7 && h.info >= 25 && h.info <= 27) {
                    const char *p = reinterpret_cast<const char *>(data_ + start + 1);
                    double v = h.info == 25   ? PyFloat_Unpack2(p, 0)
                               : h.info == 26 ? PyFloat_Unpack4(p, 0)
                                              : PyFloat_Unpack8(p, 0);
                    if (v == -1.0 && PyErr_Occurred()) return nullptr;
                    return PyFloat_FromDouble(v);
                }
                break;
            case Kind::Str:
                if (h.major == 3 && h.info != 31) {
                    if (size_ - pos_ < h.arg) return eof();
                    const uint8_t *p = data_ + pos_;
                    pos_ += static_cast<size_t>(h.arg);
                    return make_text(p, static_cast<size_t>(h.arg));
                }
                break;
            case Kind::Bytes:
                if (h.major == 2 && h.info != 31) {
                    if (size_ - pos_ < h.arg) return eof();
                    const char *p = reinterpret_cast<const char *>(data_ + pos_);
                    pos_ += static_cast<size_t>(h.arg);
                    return PyBytes_FromStringAndSize(p, static_cast<Py_ssize_t>(h.arg));
                }
                break;
            case Kind::Optional: {
                if (h.major == 7 && h.info == 22) return Py_NewRef(Py_None);
                pos_ = start;
                PyObject *v = read(node.a, depth);
                if (v == nullptr && ran_code_) return refuse_as_union(node, start, depth);
                return v;
            }
            case Kind::List:
            case Kind::Tuple:
                if (h.major == 4 && h.info != 31) return read_array(node, h.arg, depth + 1);
                break;
            case Kind::Dict:
                if (h.major == 5 && h.info != 31) return read_map(node, h.arg, depth + 1);
                break;
            case Kind::Class:
                if (!node.array_form && h.major == 5 && h.info != 31)
                    return read_class_map(node, start, h.arg, depth + 1);
                if (node.array_form && h.major == 4 && h.info != 31)
                    return read_class_array(node, start, h.arg, depth + 1);
                break;
            case Kind::DateTime:
            case Kind::Date:
            case Kind::Uuid:
            case Kind::Decimal: {
                PyObject *v = read_semantic(node, h);
                if (v != nullptr || PyErr_Occurred()) return v;
                pos_ = start;  // another form: loads and the converter decide
                if (!head(h)) return nullptr;
                break;
            }
            case Kind::Raw:
                pos_ = start;
                return read_raw(node, depth);
            case Kind::Any:
            case Kind::Py:
                break;
        }
        return hand_over(node, start, depth);
    }

    size_t pos() const { return pos_; }

private:
    // A semantic value in the form loads reads without help: the value, or nullptr (no
    // exception) for any other form. Untagged text and bytes are the forms producers write
    // without a tag: RFC 3339 text for datetimes and dates, 16 bytes for a UUID.
    PyObject *read_semantic(const Node &node, const Head &first) {
        Head h = first;
        const SemanticKit &kit = *p_->kit;
        const bool tagged = h.major == 6;
        const uint64_t tag = h.arg;
        if (tagged && !head(h)) return nullptr;
        switch (node.kind) {
            case Kind::DateTime:
            case Kind::Date: {
                const bool dt = node.kind == Kind::DateTime;
                if (tagged && tag != (dt ? 0u : 1004u)) return nullptr;
                if (h.major != 3 || h.info == 31 || size_ - pos_ < h.arg) return nullptr;
                const char *s = reinterpret_cast<const char *>(data_ + pos_);
                const size_t n = static_cast<size_t>(h.arg);
                PyObject *v = dt ? parse_datetime(kit, s, n) : parse_date(kit, s, n);
                if (v != nullptr) {
                    pos_ += n;
                } else if (!tagged && !PyErr_Occurred()) {
                    // Untagged text in another form: the converter reads it (fromisoformat).
                    pos_ += n;
                    Ref text(make_text(data_ + pos_ - n, n));
                    if (!text) return nullptr;
                    return PyObject_CallOneArg(node.convert, text.get());
                }
                return v;
            }
            case Kind::Uuid:
                if ((tagged && tag != 37) || h.major != 2 || h.arg != 16 || size_ - pos_ < 16) return nullptr;
                pos_ += 16;
                return build_uuid(kit, data_ + pos_ - 16);
            case Kind::Decimal: {
                if (!tagged || tag != 4 || h.major != 4 || h.arg != 2 || h.info == 31) return nullptr;
                int64_t parts[2];
                for (int64_t &part : parts) {
                    if (!head(h)) return nullptr;
                    if (h.major == 0 && h.arg <= static_cast<uint64_t>(INT64_MAX))
                        part = static_cast<int64_t>(h.arg);
                    else if (h.major == 1 && h.arg <= static_cast<uint64_t>(INT64_MAX))
                        part = -1 - static_cast<int64_t>(h.arg);
                    else
                        return nullptr;
                }
                if (parts[0] <= -(int64_t{1} << 60) || parts[0] >= (int64_t{1} << 60)) return nullptr;
                return build_decimal(kit, parts[0], parts[1]);
            }
            default:
                return nullptr;
        }
    }

    bool head(Head &h) {
        if (pos_ >= size_) {
            eof();
            return false;
        }
        const uint8_t initial = data_[pos_++];
        h.major = initial >> 5;
        h.info = initial & 0x1f;
        if (h.info < 24) {
            h.arg = static_cast<uint64_t>(h.info);
            return true;
        }
        if (h.info <= 27) {
            const size_t width = size_t{1} << (h.info - 24);
            if (size_ - pos_ < width) {
                eof();
                return false;
            }
            uint64_t arg = 0;
            for (size_t i = 0; i < width; ++i) arg = (arg << 8) | data_[pos_ + i];
            pos_ += width;
            h.arg = arg;
            return true;
        }
        if (h.info != 31 || h.major < 2 || h.major > 5) {
            // Reserved additional information, or a break or indefinite length where none
            // can stand: the Python path names the fault.
            give_up();
            return false;
        }
        h.arg = 0;  // an indefinite length: left to the general decoder
        return true;
    }

    PyObject *eof() {
        PyErr_SetString(p_->decode_eof, "the data ends inside an item");
        return nullptr;
    }

    PyObject *give_up() {
        PyErr_SetString(p_->decode_error, "the typed walk stops here");
        return nullptr;
    }

    // The item at `start` decoded by loads (with the depth left), then by the plan's converter.
    PyObject *hand_over(const Node &node, size_t start, Py_ssize_t depth) {
        Ref value(decode_slice(start, depth));
        if (!value) return nullptr;
        if (node.kind == Kind::Any) return value.release();
        // A semantic type that loads already built is taken as it is.
        if (node.exact != nullptr && Py_TYPE(value.get()) == reinterpret_cast<PyTypeObject *>(node.exact))
            return value.release();
        // A converter with no exact type may build classes (and run their code).
        PyObject *converted = PyObject_CallOneArg(node.convert, value.get());
        if (converted == nullptr) {
            mark_origin(start);
            return nullptr;
        }
        if (node.kind == Kind::Py && node.exact == nullptr) ran_code_ = true;
        return converted;
    }

    PyObject *decode_slice(size_t start, Py_ssize_t depth) {
        Ref slice(slice_of(start, depth));
        if (!slice) return nullptr;
        return PyObject_CallOneArg(p_->loads, slice.get());
    }

    // The bytes of the item at `start` (pos_ moves past it), for loads to decode alone.
    PyObject *slice_of(size_t start, Py_ssize_t depth) {
        if (depth >= p_->max_depth) return give_up();
        Skipper skipper(&errors(), data_, size_, static_cast<size_t>(p_->max_depth - depth) + 1);
        const Py_ssize_t end = skipper.end_of(start);
        if (end < 0) return nullptr;
        if (skipper.saw_reference()) return give_up();
        // Well inside the limit, loads's own (larger) limit never bites; near it, the Python
        // path decides exactly where the limit falls.
        if (depth + static_cast<Py_ssize_t>(skipper.deepest()) + 2 >= p_->max_depth) return give_up();
        pos_ = static_cast<size_t>(end);
        return PyBytes_FromStringAndSize(reinterpret_cast<const char *>(data_ + start),
                                         end - static_cast<Py_ssize_t>(start));
    }

    // A Raw of the item's bytes, which loads must still accept (so that what the whole input
    // would be refused for is refused here too).
    PyObject *read_raw(const Node &node, Py_ssize_t depth) {
        const size_t start = pos_;
        Ref slice(slice_of(start, depth));
        if (!slice) return nullptr;
        Ref checked(PyObject_CallOneArg(p_->loads, slice.get()));
        if (!checked) return nullptr;
        return PyObject_CallOneArg(node.exact, slice.get());
    }

    // Skips an item that no field takes, still decoding it so that what the general decoder
    // would refuse is refused here too.
    int skip_checked(Py_ssize_t depth) {
        Ref value(decode_slice(pos_, depth));
        return value ? 0 : -1;
    }

    const ErrorTypes &errors() {
        errors_ = ErrorTypes{p_->decode_error, p_->decode_eof};
        return errors_;
    }

    bool too_deep(Py_ssize_t depth) { return depth > p_->max_depth; }

    PyObject *read_array(const Node &node, uint64_t count, Py_ssize_t depth) {
        if (too_deep(depth)) return give_up();
        if (count > size_ - pos_) return eof();  // every item takes at least one byte
        const Py_ssize_t n = static_cast<Py_ssize_t>(count);
        const uint32_t item = node.a;
        if (node.kind == Kind::List) {
            Ref list(PyList_New(n));
            if (!list) return nullptr;
            for (Py_ssize_t i = 0; i < n; ++i) {
                PyObject *v = read(item, depth);
                if (v == nullptr) return annotate_index(i);
                PyList_SET_ITEM(list.get(), i, v);
            }
            return list.release();
        }
        Ref tuple(PyTuple_New(n));
        if (!tuple) return nullptr;
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject *v = read(item, depth);
            if (v == nullptr) return annotate_index(i);
            PyTuple_SET_ITEM(tuple.get(), i, v);
        }
        return tuple.release();
    }

    PyObject *read_map(const Node &node, uint64_t count, Py_ssize_t depth) {
        if (too_deep(depth)) return give_up();
        if (count > (size_ - pos_) / 2) return eof();
        Ref dict(PyDict_New());
        if (!dict) return nullptr;
        const uint32_t key_node = node.a, value_node = node.b;
        for (uint64_t i = 0; i < count; ++i) {
            const size_t key_start = pos_;
            Ref k(read(key_node, depth));
            if (!k) return annotate_key(key_start, depth);
            Ref v(read(value_node, depth));
            if (!v) return annotate_key(key_start, depth);
            if (PyDict_SetItem(dict.get(), k.get(), v.get()) < 0) return nullptr;
        }
        return dict.release();
    }

    // Which field a map key names: its index, -1 for no field, -2 for a key that the walker
    // leaves to the general decoder (not a text or an integer).
    long match_key(const Node &node, uint32_t &hint) {
        Head h;
        const size_t start = pos_;
        if (!head(h)) return -3;
        if (h.major == 3 && h.info != 31) {
            if (size_ - pos_ < h.arg) {
                eof();
                return -3;
            }
            const char *p = reinterpret_cast<const char *>(data_ + pos_);
            const size_t len = static_cast<size_t>(h.arg);
            pos_ += len;
            // Keys mostly come in field order: try the field after the last one first.
            for (uint32_t tries = 0; tries < node.n_fields; ++tries) {
                uint32_t j = hint + tries;
                if (j >= node.n_fields) j -= node.n_fields;
                const Field &f = node.fields[j];
                if (f.text_key != nullptr && static_cast<size_t>(f.text_len) == len &&
                    std::memcmp(f.text_key, p, len) == 0) {
                    hint = j + 1 == node.n_fields ? 0 : j + 1;
                    return j;
                }
            }
            pos_ = start;
            Ref checked(decode_slice(start, 0));  // an unknown key must still be valid text
            return checked ? -1 : -3;
        }
        if ((h.major == 0 && h.arg <= static_cast<uint64_t>(INT64_MAX)) ||
            (h.major == 1 && h.arg <= static_cast<uint64_t>(INT64_MAX))) {
            const int64_t value = h.major == 0 ? static_cast<int64_t>(h.arg) : -1 - static_cast<int64_t>(h.arg);
            for (uint32_t j = 0; j < node.n_fields; ++j)
                if (node.fields[j].int_key && node.fields[j].int_value == value) return j;
            return -1;
        }
        return -2;
    }

    PyObject *read_class_map(const Node &node, size_t start, uint64_t count, Py_ssize_t depth) {
        if (too_deep(depth)) return give_up();
        if (count > (size_ - pos_) / 2) return eof();
        Values values(node.n_fields);
        if (!values.ok()) return PyErr_NoMemory();
        uint32_t hint = 0;
        for (uint64_t i = 0; i < count; ++i) {
            // Keys mostly come in field order and in their shortest form: the next field's
            // encoded key is tried first, a word at a time.
            const Field &next = node.fields[hint];
            if (next.enc_len != 0 && size_ - pos_ >= 16) {
                uint64_t w0, w1;
                std::memcpy(&w0, data_ + pos_, 8);
                std::memcpy(&w1, data_ + pos_ + 8, 8);
                if (((w0 & next.enc_mask[0]) ^ next.enc_word[0]) == 0 &&
                    ((w1 & next.enc_mask[1]) ^ next.enc_word[1]) == 0) {
                    pos_ += next.enc_len;
                    const uint32_t j = hint;
                    hint = hint + 1 == node.n_fields ? 0 : hint + 1;
                    PyObject *v = read(node.fields[j].node, depth);
                    if (v == nullptr) return annotate(node.fields[j].key);
                    values.set(j, v);
                    continue;
                }
            }
            const long j = match_key(node, hint);
            if (j == -3) return nullptr;
            if (j == -2 || (j == -1 && node.forbid_unknown)) return give_up();
            if (j == -1) {
                if (skip_checked(depth) < 0) return nullptr;
                continue;
            }
            PyObject *v = read(node.fields[j].node, depth);
            if (v == nullptr) return annotate(node.fields[j].key);
            values.set(static_cast<uint32_t>(j), v);
        }
        return build(node, values, node.n_fields, start);
    }

    PyObject *read_class_array(const Node &node, size_t start, uint64_t count, Py_ssize_t depth) {
        if (too_deep(depth)) return give_up();
        if (count > size_ - pos_) return eof();
        if (count < node.last_required || (count > node.n_fields && node.forbid_unknown))
            return refuse_count(node, start, count);
        Values values(node.n_fields);
        if (!values.ok()) return PyErr_NoMemory();
        const uint32_t taken = count < node.n_fields ? static_cast<uint32_t>(count) : node.n_fields;
        for (uint32_t j = 0; j < taken; ++j) {
            PyObject *v = read(node.fields[j].node, depth);
            if (v == nullptr) return annotate_index(j);
            values.set(j, v);
        }
        for (uint64_t i = taken; i < count; ++i)
            if (skip_checked(depth) < 0) return nullptr;
        return build(node, values, taken, start);
    }

    // The values read for a class's fields, indexed like its fields; owned.
    class Values {
    public:
        explicit Values(uint32_t n) : n_(n) {
            slots_ = n <= kInline ? inline_ : static_cast<PyObject **>(PyMem_Calloc(n, sizeof(PyObject *)));
            if (slots_ == inline_) std::memset(inline_, 0, n * sizeof(PyObject *));
        }
        ~Values() {
            if (slots_ == nullptr) return;
            for (uint32_t i = 0; i < n_; ++i) Py_XDECREF(slots_[i]);
            if (slots_ != inline_) PyMem_Free(slots_);
        }
        Values(const Values &) = delete;
        Values &operator=(const Values &) = delete;
        bool ok() const { return slots_ != nullptr; }
        void set(uint32_t i, PyObject *v) {
            PyObject *old = slots_[i];
            slots_[i] = v;  // a repeated key: the last value counts, as in a decoded dict
            Py_XDECREF(old);
        }
        PyObject *get(uint32_t i) const { return slots_[i]; }
        PyObject **all() { return slots_; }

    private:
        static constexpr uint32_t kInline = 24;
        uint32_t n_;
        PyObject **slots_;
        PyObject *inline_[kInline];
    };

    PyObject *build(const Node &node, Values &values, uint32_t present_prefix, size_t start) {
        const uint32_t n = node.n_fields;
        for (uint32_t j = 0; j < n; ++j) {
            if (!node.fields[j].required || values.get(j) != nullptr) continue;
            if (!ran_code_) return give_up();
            PyObject *message = PyUnicode_FromFormat("missing required field %R of %U", node.fields[j].key, node.where);
            if (message != nullptr) {
                PyErr_SetObject(p_->invalid, message);
                Py_DECREF(message);
                mark_origin(start);
            }
            return nullptr;
        }
        code_raised_ = false;
        Ref built(build_unchecked(node, values, present_prefix));
        if (!built && code_raised_ && PyErr_ExceptionMatches(PyExc_Exception)) {
            // The class's own code refused the values: that is the failure, reported here, so
            // that no code of the classes built so far runs a second time.
            PyObject *exc = PyErr_GetRaisedException();
            PyObject *args[] = {node.cls, exc};
            PyObject *failure = PyObject_Vectorcall(p_->build_failure, args, 2, nullptr);
            Py_DECREF(exc);
            if (failure == nullptr) return nullptr;
            PyErr_SetRaisedException(failure);
            mark_origin(start);
        }
        return built.release();
    }

    PyObject *build_unchecked(const Node &node, Values &values, uint32_t present_prefix) {
        const uint32_t n = node.n_fields;
        switch (node.build) {
            case Build::TypedDict:
                return build_typeddict(node, values);
            case Build::NamedTuple:
                return code(PyObject_Vectorcall(node.cls, values.all(), present_prefix, nullptr));
            case Build::Direct:
                return build_direct(node, values);
            case Build::Call:
                break;
        }
        // The generated or user-written __init__, called with the fields read, by name.
        bool all_present = true;
        uint32_t init_count = 0;
        for (uint32_t j = 0; j < n; ++j) {
            if (!node.fields[j].init) continue;
            ++init_count;
            if (values.get(j) == nullptr) all_present = false;
        }
        ArgBuffer args(init_count);
        if (!args.ok()) return PyErr_NoMemory();
        Ref names;
        uint32_t k = 0;
        if (all_present) {
            for (uint32_t j = 0; j < n; ++j)
                if (node.fields[j].init) args.at(k++) = values.get(j);
            names = Ref::borrow(node.all_names);
        } else {
            names.reset(PyTuple_New(init_count));
            if (!names) return nullptr;
            for (uint32_t j = 0; j < n; ++j) {
                if (!node.fields[j].init || values.get(j) == nullptr) continue;
                args.at(k) = values.get(j);
                PyTuple_SET_ITEM(names.get(), k, Py_NewRef(node.fields[j].name));
                ++k;
            }
            if (_PyTuple_Resize_public(names, k) < 0) return nullptr;
        }
        return code(PyObject_Vectorcall(node.cls, args.all(), 0, names.get()));
    }

    // Shrinks a fresh tuple of names by building a new one (tuples cannot be resized through
    // the limited set of functions this module uses).
    static int _PyTuple_Resize_public(Ref &names, uint32_t k) {
        if (static_cast<Py_ssize_t>(k) == PyTuple_GET_SIZE(names.get())) return 0;
        PyObject *shorter = PyTuple_GetSlice(names.get(), 0, k);
        if (shorter == nullptr) return -1;
        names.reset(shorter);
        return 0;
    }

    class ArgBuffer {
    public:
        explicit ArgBuffer(uint32_t n) {
            slots_ = n <= 24 ? inline_ : static_cast<PyObject **>(PyMem_Calloc(n, sizeof(PyObject *)));
        }
        ~ArgBuffer() {
            if (slots_ != inline_) PyMem_Free(slots_);
        }
        ArgBuffer(const ArgBuffer &) = delete;
        ArgBuffer &operator=(const ArgBuffer &) = delete;
        bool ok() const { return slots_ != nullptr; }
        PyObject *&at(uint32_t i) { return slots_[i]; }
        PyObject **all() { return slots_; }

    private:
        PyObject **slots_;
        PyObject *inline_[24];
    };

    // The dict of the fields read, made in one step (sized for them, with no lookups on the
    // way) from the names and values in field order.
    PyObject *build_typeddict(const Node &node, Values &values) {
        const uint32_t n = node.n_fields;
        PyObject *const *names = &PyTuple_GET_ITEM(node.all_names, 0);
        uint32_t present = 0;
        for (uint32_t j = 0; j < n; ++j) present += values.get(j) != nullptr;
        if (present == n) return compat::dict_from_items(names, values.all(), n);
        ArgBuffer keys(present), items(present);
        if (!keys.ok() || !items.ok()) return PyErr_NoMemory();
        uint32_t k = 0;
        for (uint32_t j = 0; j < n; ++j) {
            if (values.get(j) == nullptr) continue;
            keys.at(k) = names[j];
            items.at(k++) = values.get(j);
        }
        return compat::dict_from_items(keys.all(), items.all(), present);
    }

    // What the dataclass's generated __init__ does, without running it: every field set in
    // order (missing ones from their default or factory), then __post_init__.
    PyObject *build_direct(const Node &node, Values &values) {
        PyTypeObject *cls = reinterpret_cast<PyTypeObject *>(node.cls);
        Ref obj(cls->tp_alloc(cls, 0));
        if (!obj) return nullptr;
        for (uint32_t j = 0; j < node.n_fields; ++j) {
            const Field &f = node.fields[j];
            Ref value = Ref::borrow(values.get(j));
            if (!value) {
                if (f.factory != nullptr)
                    value.reset(code(PyObject_CallNoArgs(f.factory)));
                else
                    value = Ref::borrow(f.default_value);
                if (!value) return PyErr_Occurred() ? nullptr : give_up();
            }
            // A slot is set through its member definition, as its descriptor would set it
            // (the object is of the class the descriptor was found on).
            const int set =
                f.member != nullptr
                    ? PyMember_SetOne(reinterpret_cast<char *>(obj.get()),
                                      reinterpret_cast<PyMemberDescrObject *>(f.member)->d_member, value.get())
                    : PyObject_GenericSetAttr(obj.get(), f.name, value.get());
            if (set < 0) return nullptr;
        }
        if (node.post_init) {
            Ref result(code(PyObject_CallMethod(obj.get(), "__post_init__", nullptr)));
            if (!result) return nullptr;
        }
        return obj.release();
    }

    // The result of a call into code of the user's classes (an __init__, __post_init__ or
    // default factory, or a converter that builds classes): from then on a failure cannot
    // be left to the Python path, which would run that code again.
    PyObject *code(PyObject *result) {
        ran_code_ = true;
        if (result == nullptr) code_raised_ = true;
        return result;
    }

    // An array form with too few items, or too many where the class forbids more: left to the
    // Python path unless code of the user's classes ran (then refused here, in its words).
    std::nullptr_t refuse_count(const Node &node, size_t start, uint64_t count) {
        if (!ran_code_) {
            give_up();
            return nullptr;
        }
        const bool few = count < node.last_required;
        Ref message(PyUnicode_FromFormat("expected %s %u items for %U, got %llu", few ? "at least" : "at most",
                                         few ? node.last_required : node.n_fields, node.where,
                                         static_cast<unsigned long long>(count)));
        if (!message) return nullptr;
        PyErr_SetObject(p_->invalid, message.get());
        if (!few) annotate_index(node.n_fields);
        mark_origin(start);
        return nullptr;
    }

    // An optional's item refused by its member: where the union would not even have handed
    // the item to the member (a kind it does not take), the union's own message stands.
    std::nullptr_t refuse_as_union(const Node &node, size_t start, Py_ssize_t depth) {
        if (!PyErr_ExceptionMatches(p_->invalid)) return nullptr;
        Ref exc(PyErr_GetRaisedException());
        const size_t saved = pos_;
        Ref value(decode_slice(start, depth));
        pos_ = saved;
        if (!value) return nullptr;
        Ref kind(PyObject_CallOneArg(p_->kind_of, value.get()));
        if (!kind) return nullptr;
        const int taken = PySet_Contains(node.kinds, kind.get());
        if (taken < 0) return nullptr;
        if (taken == 0) {
            Ref refused(PyObject_CallOneArg(node.convert, value.get()));
            if (!refused && PyErr_ExceptionMatches(p_->invalid)) {
                mark_origin(start);
                return nullptr;
            }
            PyErr_Clear();
        }
        PyErr_SetRaisedException(exc.release());
        return nullptr;
    }

    // Marks the failure being raised, a value that does not fit, as found at the item at
    // `start`: its steps so far lie inside that item.
    void mark_origin(size_t start) {
        if (!PyErr_ExceptionMatches(p_->invalid)) return;
        PyObject *exc = PyErr_GetRaisedException();
        Ref steps(PyObject_GetAttrString(exc, "steps"));
        Ref base(PyLong_FromSize_t(start));
        Ref inner(steps ? PyLong_FromSsize_t(PyList_Check(steps.get()) ? PyList_GET_SIZE(steps.get()) : 0) : nullptr);
        if (!base || !inner || PyObject_SetAttrString(exc, "native_base", base.get()) < 0 ||
            PyObject_SetAttrString(exc, "native_inner", inner.get()) < 0) {
            Py_DECREF(exc);
            return;  // the new failure (no memory) replaces it
        }
        PyErr_SetRaisedException(exc);
    }

    // Adds one step (a key, or an array position) to the path of the failure being raised,
    // as the failure unwinds out of the container that holds the item.
    std::nullptr_t annotate(PyObject *step) {
        if (!ran_code_ || !PyErr_ExceptionMatches(p_->invalid)) return nullptr;
        PyObject *exc = PyErr_GetRaisedException();
        Ref steps(PyObject_GetAttrString(exc, "steps"));
        if (!steps || !PyList_Check(steps.get()) || PyList_Append(steps.get(), step) < 0) {
            Py_DECREF(exc);
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "a failure's steps are a list");
            return nullptr;
        }
        PyErr_SetRaisedException(exc);
        return nullptr;
    }

    std::nullptr_t annotate_index(Py_ssize_t i) {
        if (!ran_code_ || !PyErr_ExceptionMatches(p_->invalid)) return nullptr;
        PyObject *exc = PyErr_GetRaisedException();
        Ref index(PyObject_CallFunction(p_->index_type, "n", i));
        if (!index) {
            Py_DECREF(exc);
            return nullptr;
        }
        PyErr_SetRaisedException(exc);
        return annotate(index.get());
    }

    // The key of the map entry at `start`, decoded on its own (a failure's path names it).
    std::nullptr_t annotate_key(size_t start, Py_ssize_t depth) {
        if (!ran_code_ || !PyErr_ExceptionMatches(p_->invalid)) return nullptr;
        PyObject *exc = PyErr_GetRaisedException();
        const size_t saved = pos_;
        Ref key(decode_slice(start, depth));
        pos_ = saved;
        if (!key) {
            Py_DECREF(exc);
            return nullptr;
        }
        PyErr_SetRaisedException(exc);
        return annotate(key.get());
    }

public:
    // Whether code of the user's classes ran: a failure is then final (see code()).
    bool ran_code() const { return ran_code_; }

private:
    ProgramObject *p_;
    const uint8_t *data_;
    size_t size_;
    size_t pos_ = 0;
    ErrorTypes errors_{};
    bool ran_code_ = false;
    bool code_raised_ = false;
};

PyObject *program_decode(PyObject *self, PyObject *data) {
    auto *p = reinterpret_cast<ProgramObject *>(self);
    if (!PyBytes_CheckExact(data)) {
        PyErr_SetString(PyExc_TypeError, "Program.decode() needs bytes");
        return nullptr;
    }
    const size_t size = static_cast<size_t>(PyBytes_GET_SIZE(data));
    Walker walker(p, reinterpret_cast<const uint8_t *>(PyBytes_AS_STRING(data)), size);
    Ref value(walker.read(0, 0));
    if (!value) {
        // After code of the user's classes ran, a value that does not fit is the final word
        // (the caller then names it); anything else, the caller decodes again.
        if (walker.ran_code() && PyErr_ExceptionMatches(p->invalid)) {
            PyObject *exc = PyErr_GetRaisedException();
            if (PyObject_SetAttrString(exc, "native_final", Py_True) < 0) {
                Py_DECREF(exc);
                return nullptr;
            }
            PyErr_SetRaisedException(exc);
        }
        return nullptr;
    }
    if (walker.pos() != size) {
        PyErr_SetString(p->decode_error, "bytes after the item");
        return nullptr;
    }
    return value.release();
}

PyMethodDef program_methods[] = {
    {"decode", program_decode, METH_O,
     "decode($self, data, /)\n--\n\n"
     "Decode one item of ``data`` (``bytes``) along the compiled plan.\n\n"
     ":return: the typed value\n"
     ":raises CBORDecodeError: (or any other exception) where the walk cannot go on; the caller\n"
     "    then decodes on the Python path, which names the fault"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot program_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(program_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(program_traverse)},
    {Py_tp_methods, program_methods},
    {Py_tp_doc, const_cast<char *>("A type plan compiled for the native typed walker.")},
    {0, nullptr},
};

}  // namespace

PyType_Spec program_spec = {
    "kelvo._typed.Program",
    sizeof(ProgramObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    program_slots,
};

PyObject *compile_program(ModuleState *st, PyObject *plan, Py_ssize_t max_depth, PyObject *hooks) {
    if (!PyTuple_Check(hooks) || PyTuple_GET_SIZE(hooks) != 4) {
        PyErr_SetString(PyExc_TypeError, "compile(): hooks are (invalid type, index type, build_failure, kind_of)");
        return nullptr;
    }
    PyTypeObject *tp = reinterpret_cast<PyTypeObject *>(st->program_type);
    auto *p = PyObject_GC_New(ProgramObject, tp);
    if (p == nullptr) return nullptr;
    p->nodes = nullptr;
    p->n_nodes = 0;
    p->cap_nodes = 0;
    p->loads = Py_NewRef(st->loads);
    p->decode_error = Py_NewRef(st->errors.decode_error);
    p->decode_eof = Py_NewRef(st->errors.decode_eof);
    p->max_depth = max_depth;
    p->kit = &st->kit;
    p->invalid = Py_NewRef(PyTuple_GET_ITEM(hooks, 0));
    p->index_type = Py_NewRef(PyTuple_GET_ITEM(hooks, 1));
    p->build_failure = Py_NewRef(PyTuple_GET_ITEM(hooks, 2));
    p->kind_of = Py_NewRef(PyTuple_GET_ITEM(hooks, 3));
    Ref program(reinterpret_cast<PyObject *>(p));
    {
        Compiler compiler(p);
        if (!compiler.ok()) return nullptr;
        if (compiler.add(plan) < 0) return nullptr;
    }
    PyObject_GC_Track(program.get());
    return program.release();
}

}  // namespace kelvo::typed
