#pragma once

// The one way the surface includes the interpreter's API.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
