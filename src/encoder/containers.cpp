// Arrays, maps and sets: definite and indefinite lengths, the canonical length-first
// order of map keys and set members, and the sort-key methods.
#include "encoder/methods.h"
#include "encoder/registry.h"
#include "encoder/writer.h"

#include "lib/args.h"
#include "lib/cbor.h"
#include "lib/once.h"
#include "lib/recursion.h"
#include "types/exceptions.h"

namespace kelvo {

namespace {

EncoderObject *as_encoder(PyObject *self) { return reinterpret_cast<EncoderObject *>(self); }

// A definite-length header must match what follows it: a container whose iteration
// yields another number of items than its length announced (changed by a hook, another
// thread, or an inconsistent __len__) is refused instead of written as corrupt CBOR.
// `found` is -1 when the iteration went past the announced length.
int length_mismatch(PyObject *obj, Py_ssize_t announced, Py_ssize_t found) {
    Ref name(type_qualname(Py_TYPE(obj)));
    if (!name) return -1;
    if (found < 0)
        return raise_exc_format(Exc::CBOREncodeValueError,
                                "'%U' object changed size during encoding (length %zd announced, more items found)",
                                name.get(), announced);
    return raise_exc_format(Exc::CBOREncodeValueError,
                            "'%U' object changed size during encoding (length %zd announced, %zd items found)",
                            name.get(), announced, found);
}

// The header of a definite or indefinite container (window held).
inline int put_container_head(EncoderObject *enc, unsigned major, bool indefinite, Py_ssize_t n) {
    if (indefinite) return emit_byte(enc, static_cast<uint8_t>((major << 5) | cbor::kIndefinite));
    // The common short header, without a stream: one byte into room already there.
    if (n < 24 && enc->write_target == nullptr && enc->out.len < enc->out.cap) {
        enc->out.data[enc->out.len++] = static_cast<uint8_t>((major << 5) | n);
        return 0;
    }
    return put_header(enc, major, static_cast<uint64_t>(n));
}

int put_break(Ctx &c) {
    if (!c.open()) return -1;
    return emit_byte(c.enc, cbor::kBreak);
}

// ---- Sort keys

// The key encodings of the items being sorted, concatenated in one buffer.
struct SortKeys {
    struct Entry {
        size_t off;
        size_t len;
        Py_ssize_t idx;
    };
    OutBuffer arena{};
    Entry *entries = nullptr;
    Py_ssize_t n = 0;

    SortKeys() = default;
    SortKeys(const SortKeys &) = delete;
    SortKeys &operator=(const SortKeys &) = delete;
    ~SortKeys() {
        arena.release();
        PyMem_Free(entries);
    }

    int init(Py_ssize_t count) {
        entries = static_cast<Entry *>(PyMem_Malloc(static_cast<size_t>(count > 0 ? count : 1) * sizeof(Entry)));
        if (entries == nullptr) {
            PyErr_NoMemory();
            return -1;
        }
        return 0;
    }

    // Length first, then bytewise: the order of (len, bytes) tuples.
    bool less(const Entry &a, const Entry &b) const {
        if (a.len != b.len) return a.len < b.len;
        return memcmp(arena.data + a.off, arena.data + b.off, a.len) < 0;
    }

    // A stable merge sort (equal keys keep their iteration order).
    int sort() {
        if (n < 2) return 0;
        auto *tmp = static_cast<Entry *>(PyMem_Malloc(static_cast<size_t>(n) * sizeof(Entry)));
        if (tmp == nullptr) {
            PyErr_NoMemory();
            return -1;
        }
        for (Py_ssize_t width = 1; width < n; width *= 2) {
            for (Py_ssize_t lo = 0; lo < n; lo += 2 * width) {
                Py_ssize_t mid = lo + width < n ? lo + width : n;
                Py_ssize_t hi = lo + 2 * width < n ? lo + 2 * width : n;
                Py_ssize_t i = lo, j = mid, k = lo;
                while (i < mid && j < hi) tmp[k++] = less(entries[j], entries[i]) ? entries[j++] : entries[i++];
                while (i < mid) tmp[k++] = entries[i++];
                while (j < hi) tmp[k++] = entries[j++];
            }
            Entry *swap = entries;
            entries = tmp;
            tmp = swap;
        }
        PyMem_Free(tmp);
        return 0;
    }
};

// Appends the sort key of `key` for item `idx`: what encode_sortable_key returns. Keys whose
// encoding needs no Python code are encoded here directly.
int add_sort_key(Ctx &c, PyObject *key, SortKeys &keys, Py_ssize_t idx) {
    if (!c.open()) return -1;
    EncoderObject *enc = c.enc;
    size_t start = keys.arena.len;
    int r = 0;
    if (enc->encoders == nullptr) {
        r = leaf_into_buffer(keys.arena, key, enc->canonical);
        if (r < 0) return -1;
        // encode_sortable_key runs an encode(); when that is the outermost one it leaves
        // the registry and the tables empty.
        if (r > 0 && enc->depth == 0 && enc->share_scopes == 0) encoder_reset_tables(enc);
    }
    if (r == 0) {
        c.close();
        Ref pair(sortable_key(enc, key));
        if (!pair) return -1;
        PyObject *encoding = PyTuple_GET_ITEM(pair.get(), 1);
        BufferSink sink{keys.arena};
        if (sink.bytes(PyBytes_AS_STRING(encoding), static_cast<size_t>(PyBytes_GET_SIZE(encoding))) < 0) return -1;
    }
    keys.entries[keys.n++] = {start, keys.arena.len - start, idx};
    return 0;
}

// item[0] of an item tuple, as encode_sortable_item takes it. Borrowed.
PyObject *sortable_item_key(PyObject *item) {
    if (!PyTuple_Check(item)) {
        raise_not_instance(item, "tuple");
        add_processing_note("item");
        return nullptr;
    }
    return PyTuple_GetItem(item, 0);
}

// Sorts `list` (private to the caller) by the sort keys of its members, or of their first
// elements when `items`. Returns the sorted order in `keys`.
int sort_members(Ctx &c, PyObject *list, bool items, SortKeys &keys) {
    Py_ssize_t n = PyList_GET_SIZE(list);
    if (keys.init(n) < 0) return -1;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *member = PyList_GET_ITEM(list, i);
        PyObject *key = items ? sortable_item_key(member) : member;
        if (key == nullptr || add_sort_key(c, key, keys, i) < 0) return -1;
    }
    return keys.sort();
}

// Writes each item an iterator yields with `put` (no access held while it yields), then
// the break of an indefinite container or the check against the announced length `n`.
int write_yielded(Ctx &c, PyObject *container, PyObject *it, Py_ssize_t n, bool indefinite,
                  int (*put)(Ctx &, PyObject *)) {
    Py_ssize_t count = 0;
    for (;;) {
        c.close();
        Ref item(PyIter_Next(it));
        if (!item) {
            if (PyErr_Occurred()) return -1;
            break;
        }
        if (!indefinite && count == n) return length_mismatch(container, n, -1);
        ++count;
        if (put(c, item.get()) < 0) return -1;
    }
    if (indefinite) return put_break(c);
    return count == n ? 0 : length_mismatch(container, n, count);
}

// ---- Array bodies (window held at entry)

// A list by index, bounded by its current length. Inline in the array step, so that a
// nested list costs one stack frame per level (two frames per level take more time at a
// thousand levels, though they execute fewer instructions). An item is first taken as a strong
// reference without the list's lock: a container is dispatched at once, so that nesting
// and lists of containers pay no critical section. From a leaf on, the items are read
// inside the list's critical section, and runs of items that need no Python code are
// written there directly; any other item leaves it, is dispatched, and the walk resumes
// at the next index.
[[gnu::always_inline]] inline int list_items(Ctx &c, PyObject *list, bool indefinite) {
    EncoderObject *enc = c.enc;
    Py_ssize_t n = PyList_GET_SIZE(list);
    if (put_container_head(enc, 4, indefinite, n) < 0) return -1;
    bool leaves = enc->encoders == nullptr;
    // Without a stream, writing a leaf runs no Python code, so the list's own references
    // keep its items alive while they are written.
    bool protect = enc->write_target != nullptr;
    Py_ssize_t i = 0;
    for (;;) {
        if (i >= PyList_GET_SIZE(list)) break;
        if (!indefinite && i == n) return length_mismatch(list, n, -1);
#ifdef Py_GIL_DISABLED
        Ref first(PyList_GetItemRef(list, i));
#else
        // With the GIL nothing else runs between the length check above and this read.
        Ref first = Ref::borrow(PyList_GET_ITEM(list, i));
#endif
        if (!first) {
            // The list shrank since its length was read.
            if (!PyErr_ExceptionMatches(PyExc_IndexError)) return -1;
            PyErr_Clear();
            break;
        }
        ++i;
        PyTypeObject *tp = Py_TYPE(first.get());
        // What the dispatch would do with exact lists, tuples and dicts (no `encoders`).
        if (leaves && (tp == &PyList_Type || tp == &PyTuple_Type)) {
            if (encode_array_step(c, first.get()) < 0) return -1;
            continue;
        }
        if (leaves && tp == &PyDict_Type) {
            if (encode_map_step(c, first.get()) < 0) return -1;
            continue;
        }
        if (!leaves) {
            if (dispatch(c, first.get()) < 0) return -1;
            continue;
        }
        if (!c.open()) return -1;
        int r = try_put_leaf(enc, first.get());
        if (r < 0) return -1;
        if (r == 0) {
            if (dispatch(c, first.get()) < 0) return -1;
            continue;
        }
        first.reset();
        if (!c.open()) return -1;
        // A list whose last item that was: its end is seen without taking the lock.
        if (i >= PyList_GET_SIZE(list)) break;
        Ref pending;
        int state = 1;  // 0 an item to dispatch, 1 done, -1 error, -2 too many items
        {
            CriticalSection cs(list);
            // Neither changes while this run writes leaves (no Python code runs in it).
            bool plain = !protect && !enc->string_referencing;
            for (; i < PyList_GET_SIZE(list); ++i) {
                if (!indefinite && i == n) {
                    state = -2;
                    break;
                }
                PyObject *item = PyList_GET_ITEM(list, i);
                if (plain ? put_common_leaf<false, true>(enc, item) : put_common_leaf(enc, item)) continue;
                Ref hold = protect ? Ref::borrow(item) : Ref();
                r = try_put_leaf(enc, item);
                if (r > 0) continue;
                if (r < 0) {
                    state = -1;
                    break;
                }
                pending = Ref::borrow(item);
                ++i;
                state = 0;
                break;
            }
        }
        if (state == -1) return -1;
        if (state == -2) return length_mismatch(list, n, -1);
        if (state == 1) break;
        if (dispatch(c, pending.get()) < 0) return -1;
    }
    if (indefinite) return put_break(c);
    return i == n ? 0 : length_mismatch(list, n, i);
}

int tuple_items(Ctx &c, PyObject *tuple, bool indefinite) {
    Py_ssize_t n = PyTuple_GET_SIZE(tuple);
    if (put_container_head(c.enc, 4, indefinite, n) < 0) return -1;
    for (Py_ssize_t i = 0; i < n; ++i)
        if (dispatch(c, PyTuple_GET_ITEM(tuple, i)) < 0) return -1;
    return indefinite ? put_break(c) : 0;
}

// Any other sequence: len() under the window (it belongs to the header), then iter().
[[gnu::noinline]] int iterated_items(Ctx &c, PyObject *obj, bool indefinite) {
    Py_ssize_t n = 0;
    if (!indefinite) {
        n = PyObject_Size(obj);
        if (n < 0) return -1;
    }
    if (put_container_head(c.enc, 4, indefinite, n) < 0) return -1;
    c.close();
    Ref it(PyObject_GetIter(obj));
    if (!it) return -1;
    return write_yielded(c, obj, it.get(), n, indefinite, dispatch);
}

[[gnu::always_inline]] inline int array_body(Ctx &c, PyObject *obj, void *) {
    bool indefinite = c.enc->indefinite_containers;
    if (PyList_CheckExact(obj)) return list_items(c, obj, indefinite);
    if (PyTuple_CheckExact(obj)) return tuple_items(c, obj, indefinite);
    return iterated_items(c, obj, indefinite);
}

// ---- Map bodies (window held at entry)

int raise_dict_changed(const char *what) {
    PyErr_Format(PyExc_RuntimeError, "dictionary %s during iteration", what);
    return -1;
}

// An exact dict, in iteration order, with the checks of a dict items iterator. Runs of
// keys and values that need no Python code are written inside the dict's critical
// section; anything else leaves it, is dispatched, and the iteration resumes.
int dict_items(Ctx &c, PyObject *dict, bool indefinite) {
    EncoderObject *enc = c.enc;
    Py_ssize_t n = PyDict_GET_SIZE(dict);
    if (put_container_head(enc, 5, indefinite, n) < 0) return -1;
    if (n == 0) return indefinite ? put_break(c) : 0;
    bool leaves = enc->encoders == nullptr;
    // Without a stream, writing a leaf runs no Python code, so the dict's own references
    // keep its keys and values alive while they are written.
    bool protect = enc->write_target != nullptr;
    Py_ssize_t pos = 0;
    Py_ssize_t seen = 0;
    // The window's opening count before the last item was dispatched (0: none was).
    uint64_t quiet_mark = 0;
    for (;;) {
        // The last item was dispatched without running any Python code (no hook, no
        // stream): nothing on this thread changed the dict meanwhile, so its end is seen
        // without taking the lock again.
        if (quiet_mark != 0 && c.held() && c.openings() == quiet_mark && PyDict_GET_SIZE(dict) == n) break;
        Ref key;
        Ref value;
        int state = 0;  // 0 an item to dispatch, 1 done, -1 error
        {
            if (!c.open()) return -1;
            CriticalSection cs(dict);
            // Neither changes while this run writes leaves (no Python code runs in it).
            bool plain = !protect && !enc->string_referencing;
            for (;;) {
                if (PyDict_GET_SIZE(dict) != n) {
                    state = raise_dict_changed("changed size");
                    break;
                }
                PyObject *k;
                PyObject *v;
                if (!PyDict_Next(dict, &pos, &k, &v)) {
                    state = 1;
                    break;
                }
                if (seen == n) {
                    state = raise_dict_changed("keys changed");
                    break;
                }
                ++seen;
                if (leaves) {
                    // With a stream, a flush may run Python code that changes the dict.
                    Ref hold_k = protect ? Ref::borrow(k) : Ref();
                    Ref hold_v = protect ? Ref::borrow(v) : Ref();
                    int r = (plain ? put_common_leaf<true, true>(enc, k) : put_common_leaf<true>(enc, k))
                                ? 1
                                : try_put_leaf(enc, k);
                    if (r > 0) {
                        r = (plain ? put_common_leaf<false, true>(enc, v) : put_common_leaf(enc, v))
                                ? 1
                                : try_put_leaf(enc, v);
                        if (r > 0) continue;
                        if (r == 0) {
                            value = Ref::borrow(v);
                            break;
                        }
                    }
                    if (r < 0) {
                        state = -1;
                        break;
                    }
                }
                key = Ref::borrow(k);
                value = Ref::borrow(v);
                break;
            }
        }
        if (state < 0) return -1;
        if (state > 0) break;
        if (seen == n && leaves && !protect && c.held()) quiet_mark = c.openings();
        if (key && dispatch(c, key.get()) < 0) return -1;
        if (dispatch(c, value.get()) < 0) return -1;
    }
    if (!indefinite && seen != n) return length_mismatch(dict, n, seen);
    return indefinite ? put_break(c) : 0;
}

// One (key, value) item of a mapping's items().
int put_item(Ctx &c, PyObject *item) {
    if (check_tuple(item, 2) < 0) return -1;
    if (dispatch(c, PyTuple_GET_ITEM(item, 0)) < 0) return -1;
    return dispatch(c, PyTuple_GET_ITEM(item, 1));
}

// Canonical order: all items taken first, then sorted by the sort keys of their keys.
[[gnu::noinline]] int sorted_items(Ctx &c, PyObject *obj, PyObject *items, Py_ssize_t n, bool indefinite) {
    if (!indefinite && PyList_GET_SIZE(items) != n) return length_mismatch(obj, n, PyList_GET_SIZE(items));
    SortKeys keys;
    if (sort_members(c, items, true, keys) < 0) return -1;
    for (Py_ssize_t i = 0; i < keys.n; ++i)
        if (put_item(c, PyList_GET_ITEM(items, keys.entries[i].idx)) < 0) return -1;
    return indefinite ? put_break(c) : 0;
}

OnceState g_items_name_once;
PyObject *g_items_name;

PyObject *items_name() {
    return once_object(g_items_name_once, g_items_name, []() { return PyUnicode_InternFromString("items"); });
}

// Maps other than an exact dict in iteration order: len() under the window, then the
// items() of the mapping.
[[gnu::noinline]] int map_items(Ctx &c, PyObject *obj, bool indefinite, bool canonical) {
    EncoderObject *enc = c.enc;
    if (PyDict_CheckExact(obj)) {
        Py_ssize_t n = PyDict_GET_SIZE(obj);
        if (put_container_head(enc, 5, indefinite, n) < 0) return -1;
        c.close();
        Ref items(PyDict_Items(obj));
        if (!items) return -1;
        return sorted_items(c, obj, items.get(), n, indefinite);
    }
    Py_ssize_t n = 0;
    if (!indefinite) {
        n = PyObject_Size(obj);
        if (n < 0) return -1;
    }
    if (put_container_head(enc, 5, indefinite, n) < 0) return -1;
    c.close();
    PyObject *name = items_name();
    if (name == nullptr) return -1;
    Ref view(PyObject_CallMethodNoArgs(obj, name));
    if (!view) return -1;
    Ref it(PyObject_GetIter(view.get()));
    if (!it) return -1;
    if (canonical) {
        Ref items(PySequence_List(it.get()));
        if (!items) return -1;
        return sorted_items(c, obj, items.get(), n, indefinite);
    }
    return write_yielded(c, obj, it.get(), n, indefinite, put_item);
}

int map_body(Ctx &c, PyObject *obj, void *) {
    bool indefinite = c.enc->indefinite_containers;
    bool canonical = c.enc->canonical;
    if (PyDict_CheckExact(obj) && !canonical) return dict_items(c, obj, indefinite);
    return map_items(c, obj, indefinite, canonical);
}

// The steps around a map or array body: the namespace step, then the sharing step, with
// the body called directly rather than through share()'s pointer.
// A namespace opened here starts with empty tables of its own, so no reference made in
// it can point at a string numbered before it.
template <ShareBody Body>
[[gnu::noinline]] int container_step(Ctx &c, PyObject *obj) {
    if (!c.open()) return -1;
    EncoderObject *enc = c.enc;
    bool opens = enc->string_namespacing;
    NamespaceSave save;
    if (opens) [[unlikely]] {
        if (put_header(enc, cbor::kTag, cbor::tag::kStringNamespace) < 0) return -1;
        namespace_push(enc, save, true);
        enc->string_namespacing = false;
    }
    int rc = -1;
    {
        RecursionGuard guard;
        ShareScope scope;
        if (guard.enter(kRecursionWhere, c.thread_state())) {
            rc = share_begin(c, obj, scope);
            if (rc > 0) {
                rc = Body(c, obj, nullptr);
                if (share_end(c, scope) < 0) rc = -1;
            }
        }
    }
    if (opens) [[unlikely]] {
        if (!namespace_close(c, save)) return -1;
        enc->string_namespacing = true;
    }
    return rc;
}

// The same steps in their common case, where no namespace opens and values are not
// shared: the nesting count and the cycle check around the body, inline where nested
// containers are met.
template <ShareBody Body>
[[gnu::always_inline]] inline int nested_step(Ctx &c, PyObject *obj) {
    if (!c.open()) return -1;
    EncoderObject *enc = c.enc;
    if (enc->string_namespacing || enc->value_sharing) [[unlikely]]
        return container_step<Body>(c, obj);
    RecursionGuard guard;
    if (!guard.enter(kRecursionWhere, c.thread_state(), c.stack_floor())) return -1;
    OpenScope scope;
    if (open_begin(enc, obj, scope) < 0) return -1;
    int rc = Body(c, obj, nullptr);
    if (!c.reopen_for_cleanup()) return -1;
    open_end(enc, obj, scope);
    return rc;
}

}  // namespace

int encode_array_step(Ctx &c, PyObject *obj) { return nested_step<array_body>(c, obj); }

int encode_map_step(Ctx &c, PyObject *obj) { return nested_step<map_body>(c, obj); }

// Sets and frozensets: tag 258 around a tuple of the members in iteration order, or,
// when canonical, a list of them in sort-key order.
int encode_set_step(Ctx &c, PyObject *obj) {
    if (!c.open()) return -1;
    bool canonical = c.enc->canonical;
    c.close();
    Ref members;
    if (!canonical) {
        members.reset(PySequence_Tuple(obj));
        if (!members) return -1;
    } else {
        Ref list(PySequence_List(obj));
        if (!list) return -1;
        SortKeys keys;
        if (sort_members(c, list.get(), false, keys) < 0) return -1;
        members.reset(PyList_New(keys.n));
        if (!members) return -1;
        for (Py_ssize_t i = 0; i < keys.n; ++i)
            PyList_SET_ITEM(members.get(), i, Py_NewRef(PyList_GET_ITEM(list.get(), keys.entries[i].idx)));
    }
    return write_semantic(c, cbor::tag::kSet, members.get());
}

PyObject *sortable_key(EncoderObject *enc, PyObject *key) {
    bool saved_referencing;
    {
        EncoderWindow w;
        if (!w.open(enc, AccessSite::Window)) return nullptr;
        saved_referencing = enc->string_referencing;
        enc->string_referencing = false;
    }
    Ref encoding;
    {
        UnsharedScope unshared(enc);
        encoding.reset(encoder_encode_to_bytes(enc, key));
    }
    {
        EncoderWindow w;
        if (!w.reopen_for_cleanup(enc)) return nullptr;
        enc->string_referencing = saved_referencing;
    }
    if (!encoding) return nullptr;
    Ref length(PyLong_FromSsize_t(PyBytes_GET_SIZE(encoding.get())));
    if (!length) return nullptr;
    return PyTuple_Pack(2, length.get(), encoding.get());
}

// ---- Public methods

namespace {

const char *const kObj[] = {"obj"};
const char *const kKey[] = {"key"};
const char *const kItem[] = {"item"};
const ArgumentSpec kArraySpec{"encode_array", "CBOREncoder", kObj, 1, 0, 1, nullptr, 0};
const ArgumentSpec kMapSpec{"encode_map", "CBOREncoder", kObj, 1, 0, 1, nullptr, 0};
const ArgumentSpec kSetSpec{"encode_set", "CBOREncoder", kObj, 1, 0, 1, nullptr, 0};
const ArgumentSpec kFrozensetSpec{"encode_frozenset", "CBOREncoder", kObj, 1, 0, 1, nullptr, 0};
const ArgumentSpec kSortableKeySpec{"encode_sortable_key", "CBOREncoder", kKey, 1, 0, 1, nullptr, 0};
const ArgumentSpec kSortableItemSpec{"encode_sortable_item", "CBOREncoder", kItem, 1, 0, 1, nullptr, 0};

// 1 accepted, 0 not, -1 error.
int array_like(PyObject *obj) { return PyList_Check(obj) || PyTuple_Check(obj) ? 1 : is_sequence(obj); }
int map_like(PyObject *obj) { return is_mapping(obj); }
int set_like(PyObject *obj) { return PySet_Check(obj); }
int frozenset_like(PyObject *obj) { return PyFrozenSet_Check(obj); }

template <const ArgumentSpec &Spec, int (*Accepts)(PyObject *), const char *Expected, int (*Run)(Ctx &, PyObject *)>
PyObject *container_method(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *obj;
    if (parse_arguments(Spec, args, nargs, kwnames, &obj) < 0) return nullptr;
    int accepted = Accepts(obj);
    if (accepted < 0) return nullptr;
    if (!accepted) {
        raise_not_instance(obj, Expected);
        add_processing_note("obj");
        return nullptr;
    }
    Ctx c(as_encoder(self));
    if (Run(c, obj) < 0) return nullptr;
    Py_RETURN_NONE;
}

constexpr char kSequenceName[] = "Sequence";
constexpr char kMappingName[] = "Mapping";
constexpr char kSetName[] = "set";
constexpr char kFrozensetName[] = "frozenset";

}  // namespace

PyObject *meth_encode_array(PyObject *s, PyObject *const *a, Py_ssize_t n, PyObject *k) {
    return container_method<kArraySpec, array_like, kSequenceName, encode_array_step>(s, a, n, k);
}
PyObject *meth_encode_map(PyObject *s, PyObject *const *a, Py_ssize_t n, PyObject *k) {
    return container_method<kMapSpec, map_like, kMappingName, encode_map_step>(s, a, n, k);
}
PyObject *meth_encode_set(PyObject *s, PyObject *const *a, Py_ssize_t n, PyObject *k) {
    return container_method<kSetSpec, set_like, kSetName, encode_set_step>(s, a, n, k);
}
PyObject *meth_encode_frozenset(PyObject *s, PyObject *const *a, Py_ssize_t n, PyObject *k) {
    return container_method<kFrozensetSpec, frozenset_like, kFrozensetName, encode_set_step>(s, a, n, k);
}

PyObject *meth_encode_sortable_key(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *key;
    if (parse_arguments(kSortableKeySpec, args, nargs, kwnames, &key) < 0) return nullptr;
    return sortable_key(as_encoder(self), key);
}

PyObject *meth_encode_sortable_item(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *item;
    if (parse_arguments(kSortableItemSpec, args, nargs, kwnames, &item) < 0) return nullptr;
    PyObject *key = sortable_item_key(item);
    if (key == nullptr) return nullptr;
    return sortable_key(as_encoder(self), key);
}

}  // namespace kelvo
