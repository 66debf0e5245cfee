/* The least work that returns what a create row returns: the caller's
 * objects asked what every reader must ask them, and the result built, in
 * plain C with nothing parsed, looked up or checked. No reader can cost less;
 * the benchmark shows it beside the floor of the rows it belongs to. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

static PyObject *s_scalars, *s_location, *s_fields;

/* cls() with one attribute stored, as its __init__ would store it. */
static PyObject *instance(PyTypeObject *cls, PyObject *field, PyObject *value) {
    PyObject *self = cls->tp_alloc(cls, 0);
    if (self != NULL && field != NULL && PyObject_GenericSetAttr(self, field, value) < 0) Py_CLEAR(self);
    return self;
}

/* [(instance, rest)] items, the instance and rest stolen. */
static int add_pair(PyObject *result, Py_ssize_t i, PyObject *self, PyObject *rest) {
    PyObject *pair = (self != NULL && rest != NULL) ? PyTuple_New(2) : NULL;
    if (pair == NULL) {
        Py_XDECREF(self);
        Py_XDECREF(rest);
        return -1;
    }
    PyTuple_SET_ITEM(pair, 0, self);
    PyTuple_SET_ITEM(pair, 1, rest);
    PyList_SET_ITEM(result, i, pair);
    return 0;
}

/* data_types(cls, text, ((members, rest_start), ...)): each candidate a cls
 * instance whose scalars are a new list of the members, with text[rest_start:]. */
static PyObject *data_types(PyObject *module, PyObject *const *args, Py_ssize_t nargs) {
    (void)module;
    if (nargs != 3) return PyErr_Format(PyExc_TypeError, "data_types takes 3 arguments");
    PyTypeObject *cls = (PyTypeObject *)args[0];
    PyObject *text = args[1], *candidates = args[2];
    Py_ssize_t count = PyTuple_GET_SIZE(candidates);
    PyObject *result = PyList_New(count);
    for (Py_ssize_t i = 0; result != NULL && i < count; ++i) {
        PyObject *candidate = PyTuple_GET_ITEM(candidates, i);
        PyObject *members = PyTuple_GET_ITEM(candidate, 0);
        Py_ssize_t start = PyLong_AsSsize_t(PyTuple_GET_ITEM(candidate, 1));
        PyObject *list = PyList_New(PyTuple_GET_SIZE(members));
        if (list == NULL) Py_CLEAR(result);
        for (Py_ssize_t j = 0; list != NULL && j < PyList_GET_SIZE(list); ++j)
            PyList_SET_ITEM(list, j, Py_NewRef(PyTuple_GET_ITEM(members, j)));
        PyObject *self = list != NULL ? instance(cls, s_scalars, list) : NULL;
        Py_XDECREF(list);
        PyObject *rest = self != NULL ? PyUnicode_Substring(text, start, PyUnicode_GET_LENGTH(text)) : NULL;
        if (result != NULL && add_pair(result, i, self, rest) < 0) Py_CLEAR(result);
    }
    return result;
}

/* interface(components, sizes, channel_name, lmn, cls, field, order, text, rest_start):
 * len(components), components[i] and channel_name() of each, len(sizes);
 * with lmn = (GenicamComponents, LMNLocation) also the location and its
 * fields; then [(cls(), text[rest_start:])], where a field set to a tuple of
 * the names in the given order stands for the instance's own state. */
static PyObject *interface(PyObject *module, PyObject *const *args, Py_ssize_t nargs) {
    (void)module;
    if (nargs != 9) return PyErr_Format(PyExc_TypeError, "interface takes 9 arguments");
    PyObject *components = args[0], *sizes = args[1], *channel_name = args[2], *lmn = args[3];
    PyTypeObject *cls = (PyTypeObject *)args[4];
    PyObject *field = args[5] == Py_None ? NULL : args[5], *order = args[6], *text = args[7];
    Py_ssize_t start = PyLong_AsSsize_t(args[8]);
    PyObject *names[8] = {NULL};
    Py_ssize_t n = PyObject_Size(components), got = 0;
    if (n < 0) return NULL;
    if (n > 8) return PyErr_Format(PyExc_ValueError, "interface reads at most 8 channels, not %zd", n);
    for (; got < n; ++got) {
        PyObject *item = PySequence_GetItem(components, got);
        names[got] = item != NULL ? PyObject_CallOneArg(channel_name, item) : NULL;
        Py_XDECREF(item);
        if (names[got] == NULL) break;
    }
    PyObject *result = NULL, *value = NULL;
    if (got < n || PyObject_Size(sizes) < 0) goto done;
    if (lmn != Py_None) {
        if (PyObject_IsInstance(components, PyTuple_GET_ITEM(lmn, 0)) <= 0) goto done;
        PyObject *location = PyObject_GetAttr(components, s_location);
        int is_lmn = location != NULL ? PyObject_IsInstance(location, PyTuple_GET_ITEM(lmn, 1)) : -1;
        PyObject *fields = is_lmn > 0 ? PyObject_GetAttr(location, s_fields) : NULL;
        Py_XDECREF(location);
        if (fields == NULL) goto done;
        Py_DECREF(fields);
    }
    if (field != NULL) {
        value = PyTuple_New(PyTuple_GET_SIZE(order));
        if (value == NULL) goto done;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(order); ++i)
            PyTuple_SET_ITEM(value, i, Py_NewRef(names[PyLong_AsSsize_t(PyTuple_GET_ITEM(order, i))]));
    }
    result = PyList_New(1);
    if (result != NULL) {
        PyObject *self = instance(cls, field, value);
        PyObject *rest = self != NULL ? PyUnicode_Substring(text, start, PyUnicode_GET_LENGTH(text)) : NULL;
        if (add_pair(result, 0, self, rest) < 0) Py_CLEAR(result);
    }
done:
    Py_XDECREF(value);
    for (Py_ssize_t i = 0; i < got; ++i) Py_XDECREF(names[i]);
    return result;
}

static PyMethodDef methods[] = {
    {"data_types", (PyCFunction)(void (*)(void))data_types, METH_FASTCALL, NULL},
    {"interface", (PyCFunction)(void (*)(void))interface, METH_FASTCALL, NULL},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef definition = {PyModuleDef_HEAD_INIT, "least", NULL, -1, methods, NULL, NULL, NULL, NULL};

PyMODINIT_FUNC PyInit_least(void) {
    s_scalars = PyUnicode_InternFromString("scalars");
    s_location = PyUnicode_InternFromString("location");
    s_fields = PyUnicode_InternFromString("fields");
    if (s_scalars == NULL || s_location == NULL || s_fields == NULL) return NULL;
    return PyModule_Create(&definition);
}
