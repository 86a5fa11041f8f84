// quotra._quiet.FeedBuffer (feed_buffer.cpp): a feed's quotes between its
// client and its consumer.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "../client/health.hpp"

// Adds the FeedBuffer type to the quotra._quiet module; -1 with an exception set.
int add_feed_buffer_type(PyObject* module);
