/* Call floors: functions with the same call shapes as kestrova's members that
 * do only the work no implementation can avoid (the call itself, the result
 * objects, an id's random bytes and clock read, parsing an id to its key).
 * Built at run time by bench/floor_build.py; never part of the package. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <errno.h>
#include <stdint.h>
#include <string.h>
#include <sys/random.h>
#include <time.h>

/* bench/floor_random.cpp: the vDSO's getrandom, or -ENOSYS. */
long floor_vdso_getrandom(void* out, size_t size);

/* Random bytes are read from the system in blocks, 16 per order. */
static unsigned char random_block[4096];
static size_t random_used = sizeof random_block;

static int take_random(unsigned char out[16]) {
  if (random_used + 16 > sizeof random_block) {
    size_t got = 0;
    while (got < sizeof random_block) {
      ssize_t n = floor_vdso_getrandom(random_block + got, sizeof random_block - got);
      if (n == -ENOSYS) n = getrandom(random_block + got, sizeof random_block - got, 0);
      if (n < 0) {
        if (n != -1) errno = (int)-n;
        PyErr_SetFromErrno(PyExc_OSError);
        return -1;
      }
      got += (size_t)n;
    }
    random_used = 0;
  }
  memcpy(out, random_block + random_used, 16);
  random_used += 16;
  return 0;
}

static uint64_t wall_clock_ns(void) {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return (uint64_t)now.tv_sec * 1000000000u + (uint64_t)now.tv_nsec;
}

typedef struct {
  PyObject_HEAD unsigned char id[16];
  int64_t price_in_ticks;
  double quantity;
  uint64_t timestamp;
  unsigned char side;
  unsigned char status;
} FloorOrder;

static PyTypeObject FloorOrderType;

static PyObject* make_order_of(PyTypeObject* type, PyObject* side, int64_t price_in_ticks,
                               double quantity) {
  FloorOrder* order = PyObject_New(FloorOrder, type);
  if (order == NULL) return NULL;
  if (take_random(order->id) < 0) {
    Py_DECREF(order);
    return NULL;
  }
  order->id[6] = (order->id[6] & 0x0f) | 0x40;
  order->id[8] = (order->id[8] & 0x3f) | 0x80;
  order->price_in_ticks = price_in_ticks;
  order->quantity = quantity;
  order->timestamp = wall_clock_ns();
  order->side = side == Py_True;
  order->status = 0;
  return (PyObject*)order;
}

static PyObject* make_order(PyObject* side, int64_t price_in_ticks, double quantity) {
  return make_order_of(&FloorOrderType, side, price_in_ticks, quantity);
}

/* An order of `type` from the three arguments, once their count is checked. */
static PyObject* order_of_arguments(PyTypeObject* type, PyObject* const* args) {
  long long price = PyLong_AsLongLong(args[1]);
  if (price == -1 && PyErr_Occurred()) return NULL;
  double quantity = PyFloat_AsDouble(args[2]);
  if (quantity == -1.0 && PyErr_Occurred()) return NULL;
  return make_order_of(type, args[0], price, quantity);
}

/* Order(side, price_in_ticks, quantity) */
static PyObject* order_vectorcall(PyObject* type, PyObject* const* args, size_t nargsf,
                                  PyObject* kwnames) {
  (void)type;
  if (PyVectorcall_NARGS(nargsf) != 3 || kwnames != NULL) {
    PyErr_SetString(PyExc_TypeError, "Order takes 3 positional arguments");
    return NULL;
  }
  return order_of_arguments(&FloorOrderType, args);
}

static PyObject* order_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  (void)kwargs;
  return order_vectorcall((PyObject*)type, &PyTuple_GET_ITEM(args, 0),
                          (size_t)PyTuple_GET_SIZE(args), NULL);
}

/* Order(side, price_in_ticks, quantity) through tp_new alone, the calling form
 * kestrova's constructor has: the interpreter packs the arguments in a tuple
 * and runs tp_init after tp_new. */
static PyObject* order_by_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  if (PyTuple_GET_SIZE(args) != 3 || (kwargs != NULL && PyDict_GET_SIZE(kwargs) != 0)) {
    PyErr_SetString(PyExc_TypeError, "Order takes 3 positional arguments");
    return NULL;
  }
  return order_of_arguments(type, &PyTuple_GET_ITEM(args, 0));
}

static PyObject* order_quantity(PyObject* self, void* closure) {
  (void)closure;
  return PyFloat_FromDouble(((FloorOrder*)self)->quantity);
}

static PyObject* order_price_in_ticks(PyObject* self, void* closure) {
  (void)closure;
  return PyLong_FromLongLong(((FloorOrder*)self)->price_in_ticks);
}

/* The id as 36 characters of lower-case hyphenated hex. */
static PyObject* order_id(PyObject* self, void* closure) {
  (void)closure;
  static const char hex[] = "0123456789abcdef";
  const unsigned char* bytes = ((FloorOrder*)self)->id;
  PyObject* text = PyUnicode_New(36, 127);
  if (text == NULL) return NULL;
  Py_UCS1* out = PyUnicode_1BYTE_DATA(text);
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) *out++ = '-';
    *out++ = (Py_UCS1)hex[bytes[i] >> 4];
    *out++ = (Py_UCS1)hex[bytes[i] & 15];
  }
  return text;
}

static PyGetSetDef order_getset[] = {
    {"quantity", order_quantity, NULL, NULL, NULL},
    {"price_in_ticks", order_price_in_ticks, NULL, NULL, NULL},
    {"id", order_id, NULL, NULL, NULL},
    {NULL, NULL, NULL, NULL, NULL},
};

static PyTypeObject FloorOrderType = {
    PyVarObject_HEAD_INIT(NULL, 0).tp_name = "floor_calls.Order",
    .tp_basicsize = sizeof(FloorOrder),
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_new = order_new,
    .tp_getset = order_getset,
    .tp_vectorcall = order_vectorcall,
};

static PyTypeObject FloorOrderByNewType = {
    PyVarObject_HEAD_INIT(NULL, 0).tp_name = "floor_calls.OrderByNew",
    .tp_basicsize = sizeof(FloorOrder),
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_new = order_by_new,
    .tp_getset = order_getset,
};

typedef struct {
  PyObject_HEAD int64_t best_price;
  double best_quantity;
} FloorBook;

static int single_argument(Py_ssize_t nargs, PyObject* kwnames) {
  if (nargs != 1 || (kwnames != NULL && PyTuple_GET_SIZE(kwnames) != 0)) {
    PyErr_SetString(PyExc_TypeError, "takes one positional argument");
    return -1;
  }
  return 0;
}

/* add(order) -> [] */
static PyObject* book_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  (void)self;
  (void)args;
  if (single_argument(nargs, kwnames) < 0) return NULL;
  return PyList_New(0);
}

/* Hex digit values, -1 for anything else: a table keeps the parse free of
 * data-dependent branches, which random ids would mispredict. */
static signed char hex_values[256];

static void fill_hex_values(void) {
  memset(hex_values, -1, sizeof hex_values);
  for (int c = '0'; c <= '9'; ++c) hex_values[c] = (signed char)(c - '0');
  for (int c = 'a'; c <= 'f'; ++c) hex_values[c] = hex_values[c - 32] = (signed char)(c - 'a' + 10);
}

static volatile unsigned char key_sink;

/* cancel(order_id) -> bool: the text parsed to its 16-byte key. */
static PyObject* book_cancel(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  (void)self;
  if (single_argument(nargs, kwnames) < 0) return NULL;
  if (!PyUnicode_Check(args[0])) {
    PyErr_SetString(PyExc_TypeError, "order_id must be str");
    return NULL;
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(args[0], &size);
  if (text == NULL) return NULL;
  if (size != 36) Py_RETURN_FALSE;
  static const unsigned char starts[16] = {0,  2,  4,  6,  9,  11, 14, 16,
                                           19, 21, 24, 26, 28, 30, 32, 34};
  unsigned char key[16];
  int dashes = (text[8] ^ '-') | (text[13] ^ '-') | (text[18] ^ '-') | (text[23] ^ '-');
  int bad = 0;
  for (int i = 0; i < 16; ++i) {
    int high = hex_values[(unsigned char)text[starts[i]]];
    int low = hex_values[(unsigned char)text[starts[i] + 1]];
    bad |= high | low;
    key[i] = (unsigned char)(high << 4 | low);
  }
  if (bad < 0 || dashes != 0) Py_RETURN_FALSE;
  key_sink = key[0] ^ key[15]; /* keeps the parse from being optimised away */
  Py_RETURN_TRUE;
}

/* best_bid() -> (price_in_ticks, quantity) */
static PyObject* book_best(PyObject* self, PyObject* unused) {
  (void)unused;
  FloorBook* book = (FloorBook*)self;
  PyObject* price = PyLong_FromLongLong(book->best_price);
  if (price == NULL) return NULL;
  PyObject* quantity = PyFloat_FromDouble(book->best_quantity);
  if (quantity == NULL) {
    Py_DECREF(price);
    return NULL;
  }
  PyObject* pair = PyTuple_New(2);
  if (pair == NULL) {
    Py_DECREF(price);
    Py_DECREF(quantity);
    return NULL;
  }
  PyTuple_SET_ITEM(pair, 0, price);
  PyTuple_SET_ITEM(pair, 1, quantity);
  return pair;
}

/* buy_volume() -> float */
static PyObject* book_volume(PyObject* self, PyObject* unused) {
  (void)unused;
  return PyFloat_FromDouble(((FloorBook*)self)->best_quantity);
}

/* create_order(side, price, quantity) -> Order */
static PyObject* book_create_order(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
  (void)self;
  if (nargs != 3 || (kwnames != NULL && PyTuple_GET_SIZE(kwnames) != 0)) {
    PyErr_SetString(PyExc_TypeError, "create_order takes 3 positional arguments");
    return NULL;
  }
  double price = PyFloat_AsDouble(args[1]);
  if (price == -1.0 && PyErr_Occurred()) return NULL;
  double quantity = PyFloat_AsDouble(args[2]);
  if (quantity == -1.0 && PyErr_Occurred()) return NULL;
  return make_order(args[0], (int64_t)(price * 100.0 + 0.5), quantity);
}

static PyMethodDef book_methods[] = {
    {"add", (PyCFunction)(void (*)(void))book_add, METH_FASTCALL | METH_KEYWORDS, NULL},
    {"cancel", (PyCFunction)(void (*)(void))book_cancel, METH_FASTCALL | METH_KEYWORDS, NULL},
    {"create_order", (PyCFunction)(void (*)(void))book_create_order, METH_FASTCALL | METH_KEYWORDS,
     NULL},
    {"best_bid", book_best, METH_NOARGS, NULL},
    {"best_ask", book_best, METH_NOARGS, NULL},
    {"buy_volume", book_volume, METH_NOARGS, NULL},
    {NULL, NULL, 0, NULL},
};

static PyObject* book_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  (void)args;
  (void)kwargs;
  FloorBook* book = (FloorBook*)type->tp_alloc(type, 0);
  if (book == NULL) return NULL;
  book->best_price = 1000000;
  book->best_quantity = 5.0;
  return (PyObject*)book;
}

static PyTypeObject FloorBookType = {
    PyVarObject_HEAD_INIT(NULL, 0).tp_name = "floor_calls.OrderBook",
    .tp_basicsize = sizeof(FloorBook),
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_new = book_new,
    .tp_methods = book_methods,
};

static struct PyModuleDef floor_module = {
    PyModuleDef_HEAD_INIT,
    .m_name = "floor_calls",
    .m_size = -1,
};

PyMODINIT_FUNC PyInit_floor_calls(void) {
  fill_hex_values();
  if (PyType_Ready(&FloorOrderType) < 0 || PyType_Ready(&FloorOrderByNewType) < 0 ||
      PyType_Ready(&FloorBookType) < 0) {
    return NULL;
  }
  PyObject* module = PyModule_Create(&floor_module);
  if (module == NULL) return NULL;
  if (PyModule_AddObjectRef(module, "Order", (PyObject*)&FloorOrderType) < 0 ||
      PyModule_AddObjectRef(module, "OrderByNew", (PyObject*)&FloorOrderByNewType) < 0 ||
      PyModule_AddObjectRef(module, "OrderBook", (PyObject*)&FloorBookType) < 0) {
    Py_DECREF(module);
    return NULL;
  }
  return module;
}
