// Lists of plain numbers read in one go under PyPy.
//
// PyPy's C API makes a C-side twin of every element that C code reads from a
// list, so reading a vector element by element costs there many times what
// CPython spends on the whole conversion. PyPy stores a list whose elements
// are all exact floats, or ints that fit a machine word, unboxed, and its
// storage strategy says so without looking at the elements. Such lists are
// read by the interpreter instead, `array("d", list)` making their doubles,
// and each element gets the value the element rule gives it (a float as it
// is; an int through int.__float__, which cannot overflow for a word-sized
// int). A sequence that does not qualify is read by the element rule, from its
// first element; nothing the fast read does can be seen.
#pragma once

#include <optional>
#include <vector>

#include "python/ref.hpp"
#include "python/vector_list.hpp"

namespace tamsel::python {

// One vector, an exact list or tuple of plain numbers or an exact array of
// numbers, read by interpreter-level code, which may let another thread or a
// signal handler run (they cannot change what it reads, a copy made at once).
// Nothing (under CPython, whose C API reads lists quickly and arrays through
// their buffers, always nothing) for any other sequence.
std::optional<std::vector<double>> pack_number_list(PyObject* sequence);

// Reads a batch, an exact list or tuple whose vectors are all exact lists or
// tuples of plain numbers, into `vectors` (empty on entry), calling only
// builtins that run no Python code: no other thread and no signal handler
// runs while they read, as none does while the element rule reads such a
// batch. False, with nothing read, for any other batch, and when the room for
// all its numbers cannot be had at once (the element rule then grows its
// buffer as the vectors arrive).
bool read_number_lists(PyObject* batch, VectorList& vectors);

// Binds, under PyPy, what the readers call; called once, when the module is
// created, so that rebinding a name later changes nothing here.
void bind_number_list_readers();

}  // namespace tamsel::python
