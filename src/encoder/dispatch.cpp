// encode_value: the single dispatch through which every value passes.
#include "encoder/encoder.h"

#include "types/exceptions.h"

namespace kelvo {

int encode_value(EncoderObject *enc, PyObject *obj) {
    Ref hook;
    {
        SharedAccess access;
        if (!access.acquire(enc->access, AccessSite::Window)) return -1;
        hook = Ref::borrow(enc->default_hook);
    }
    if (hook) {
        PyObject *args[] = {reinterpret_cast<PyObject *>(enc), obj};
        Ref r(PyObject_Vectorcall(hook.get(), args, 2, nullptr));
        return r ? 0 : -1;
    }
    Ref type_str(PyObject_Str(reinterpret_cast<PyObject *>(Py_TYPE(obj))));
    if (!type_str) return -1;
    return raise_exc_format(Exc::CBOREncodeError, "cannot encode type %U", type_str.get());
}

}  // namespace kelvo
