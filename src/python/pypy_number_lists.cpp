#include "python/pypy_number_lists.hpp"

#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include "python/errors.hpp"
#include "python/pypy_code.hpp"

namespace tamsel::python {
namespace {

// One vector, read by the interpreter. Every name it uses is bound when it is
// defined, so that rebinding a builtin changes nothing here. It reads a copy,
// which `list` or `array` makes at once: whatever runs while the copy is read
// (another thread, a signal handler) cannot change what it reads. It copies
// the doubles into the area it is lent and returns their count, since a new
// array handed back to C costs PyPy's C API an object of its own and a second
// call to find its items; a vector too long for the area comes back as an
// array. An array of numbers is read by `array("d", vector)`, whose elements
// are those that the element rule reads (an int through int.__float__); its
// buffer is not read from C, since PyPy leaks memory at each export of an
// array's buffer (docs/pypy.md).
constexpr const char* kPackerSource = R"(
def define(array, list, length, strategy, plain_numbers, number_codes):
    def pack(doubles, area):
        count = length(doubles)
        if count > length(area):
            return doubles
        area[:count] = doubles
        return count

    def pack_numbers(vector, area):
        numbers = list(vector)
        if strategy(numbers) not in plain_numbers:
            return None
        return pack(array("d", numbers), area)

    def pack_array(vector, area):
        if vector.typecode not in number_codes:
            return None
        return pack(array("d", vector), area)

    return pack_numbers, pack_array
)";

// Bound with the module, kept for the life of the process; null under CPython.
PyObject* pack_numbers = nullptr;
PyObject* pack_array = nullptr;
PyObject* strategy_of = nullptr;       // __pypy__.strategy
PyObject* plain_numbers = nullptr;     // the names of the strategies that hold plain numbers only
PyObject* lists_and_tuples = nullptr;  // frozenset({list, tuple})
PyObject* array_type = nullptr;        // array.array
PyObject* buffer_info_of = nullptr;    // array.array.buffer_info
PyObject* double_code = nullptr;       // "d"
PyObject* length_code = nullptr;       // "q"
PyObject* map_type = nullptr;
PyObject* length_of = nullptr;  // len
PyObject* cast_of = nullptr;    // memoryview.cast

// What the interpreter makes for one stretch of a batch stays this small
// beside the batch itself, and small enough for the C heap: the stretch's
// array grows from empty as its rows are appended, and a larger one grows
// through fresh pages that the kernel clears each time (docs/pypy.md).
constexpr std::size_t kStretchValues = std::size_t{1} << 14;
constexpr std::size_t kStretchRows = std::size_t{1} << 12;

PyObject* object_of(PyTypeObject* type) { return reinterpret_cast<PyObject*>(type); }

bool is_subset(PyObject* set, PyObject* of) {
  const int subset = PyObject_RichCompareBool(set, of, Py_LE);
  if (subset < 0) throw_pending();
  return subset == 1;
}

// The set of what `function` gives for each item of `sequence`.
Ref set_of_each(PyObject* function, PyObject* sequence) {
  const Ref each = call(map_type, function, sequence);
  return checked(PySet_New(each.get()));
}

// Where one of the readers' arrays keeps its items, and how many there are:
// valid while the array's length does not change, and the array is theirs
// alone. (The buffer protocol would do, but PyPy leaks memory at each export
// of an array that interpreter-level code handed back to C: docs/pypy.md.)
struct ArrayMemory {
  const char* data;
  std::size_t count;
};

ArrayMemory memory_of(PyObject* array) {
  const Ref info = call(buffer_info_of, array);
  if (!PyTuple_Check(info.get()) || PyTuple_GET_SIZE(info.get()) != 2) throw BrokenInvariant("no array buffer info");
  void* address = PyLong_AsVoidPtr(PyTuple_GET_ITEM(info.get(), 0));
  const std::size_t count = PyLong_AsSize_t(PyTuple_GET_ITEM(info.get(), 1));
  if (PyErr_Occurred()) throw_pending();
  return {static_cast<const char*>(address), count};
}

// Memory of the module's own, which the packer sees as a writable memoryview
// of doubles: Python code can change its numbers but can neither move nor free
// it, as it could an array's. Each call borrows an area of its own, so that
// another thread, or a signal handler that packs a vector of its own, never
// writes into the area of a call that has not read it yet. Areas are made as
// calls overlap and kept for the life of the process; the interpreter lock
// guards the idle ones.
constexpr std::size_t kAreaValues = 4096;

struct PackingArea {
  double values[kAreaValues];
  Py_buffer bytes;  // what the view was made from
  PyObject* view;
  PackingArea* next_idle;
};

PackingArea* idle_areas = nullptr;

PackingArea* new_area() {
  auto area = std::make_unique<PackingArea>();
  if (PyBuffer_FillInfo(&area->bytes, nullptr, area->values, sizeof area->values, 0, PyBUF_FULL_RO) < 0)
    throw_pending();
  const Ref bytes = checked(PyMemoryView_FromBuffer(&area->bytes));
  area->view = call(cast_of, bytes.get(), double_code).release();
  return area.release();
}

class LentArea {
 public:
  LentArea() {
    if (idle_areas == nullptr) {
      area_ = new_area();
      return;
    }
    area_ = idle_areas;
    idle_areas = area_->next_idle;
  }
  ~LentArea() {
    area_->next_idle = idle_areas;
    idle_areas = area_;
  }
  LentArea(const LentArea&) = delete;
  LentArea& operator=(const LentArea&) = delete;

  PyObject* view() const { return area_->view; }
  const double* values() const { return area_->values; }

 private:
  PackingArea* area_ = nullptr;
};

template <class Values>
void append_doubles(Values& values, const char* bytes, std::size_t count) {
  if (count == 0) return;
  const std::size_t first = values.size();
  values.resize(first + count);
  std::memcpy(values.data() + first, bytes, count * sizeof(double));
}

// Appends the doubles of the vectors [begin, end) of `batch`, one after
// another, to the empty array `doubles`; false when one of them holds anything
// but plain numbers.
bool fill_stretch(PyObject* doubles, PyObject* batch, std::size_t begin, std::size_t end, bool has_tuples) {
  Ref stretch = checked(PySequence_GetSlice(batch, static_cast<Py_ssize_t>(begin), static_cast<Py_ssize_t>(end)));
  if (has_tuples) stretch = checked(PySequence_List(call(map_type, object_of(&PyList_Type), stretch.get()).get()));
  if (!is_subset(set_of_each(strategy_of, stretch.get()).get(), plain_numbers)) return false;
  const Ref append = attribute(doubles, "fromlist");
  checked(PySequence_List(call(map_type, append.get(), stretch.get()).get()));
  return true;
}

Ref frozen_set(PyObject* items) { return checked(PyFrozenSet_New(items)); }

// The two packers, for lists and tuples and for arrays.
Ref defined_packers(PyObject* array, PyObject* length, PyObject* strategy, PyObject* numbers) {
  const Ref define = defined_in_fresh_globals(kPackerSource, "define");
  // The typecodes of numbers; 'u' is text.
  const Ref codes = checked(PyUnicode_FromString("bBhHiIlLqQfd"));
  const Ref number_codes = checked(PyFrozenSet_New(codes.get()));
  Ref packers = call(define.get(), array, object_of(&PyList_Type), length, strategy, numbers, number_codes.get());
  if (!PyTuple_Check(packers.get()) || PyTuple_GET_SIZE(packers.get()) != 2)
    throw BrokenInvariant("the vector packers are not a pair");
  return packers;
}

}  // namespace

std::optional<std::vector<double>> pack_number_list(PyObject* sequence) {
  if (!kPyPy || pack_numbers == nullptr) return std::nullopt;
  const bool array = Py_TYPE(sequence) == reinterpret_cast<PyTypeObject*>(array_type);
  if (!PyList_CheckExact(sequence) && !PyTuple_CheckExact(sequence) && !array) return std::nullopt;
  const LentArea area;
  const Ref packed = call(array ? pack_array : pack_numbers, sequence, area.view());
  if (packed.get() == Py_None) return std::nullopt;
  std::vector<double> values;
  if (PyLong_CheckExact(packed.get())) {
    const std::size_t count = PyLong_AsSize_t(packed.get());
    if (PyErr_Occurred()) throw_pending();
    if (count > kAreaValues) throw BrokenInvariant("the vector packer overran its area");
    values.assign(area.values(), area.values() + count);
  } else {
    const ArrayMemory memory = memory_of(packed.get());
    append_doubles(values, memory.data, memory.count);
  }
  return values;
}

bool read_number_lists(PyObject* batch, VectorList& vectors) {
  if (!kPyPy || strategy_of == nullptr) return false;
  if (!PyList_CheckExact(batch) && !PyTuple_CheckExact(batch)) return false;
  const Ref types = set_of_each(object_of(&PyType_Type), batch);
  if (!is_subset(types.get(), lists_and_tuples)) return false;
  const int contains_tuple = PySet_Contains(types.get(), object_of(&PyTuple_Type));
  if (contains_tuple < 0) throw_pending();
  const Ref lengths = call(array_type, length_code, call(map_type, length_of, batch).get());
  const ArrayMemory length_memory = memory_of(lengths.get());
  const std::size_t rows = length_memory.count;
  if (rows == 0) return false;
  const auto length = [&](std::size_t row) {
    std::int64_t value = 0;
    std::memcpy(&value, length_memory.data + row * sizeof(value), sizeof(value));
    return static_cast<std::size_t>(value);
  };
  std::size_t total = 0;
  for (std::size_t row = 0; row < rows; ++row) total += length(row);

  VectorList read;
  LargeBuffer<double>& values = read.values();
  if (total > values.max_size()) return false;
  try {
    values.reserve(total);
    read.reserve_vectors(rows);
  } catch (const std::bad_alloc&) {
    return false;
  }
  const Ref doubles = call(array_type, double_code);
  for (std::size_t begin = 0; begin < rows;) {
    std::size_t end = begin, count = 0;
    while (end < rows && end - begin < kStretchRows && (end == begin || count + length(end) <= kStretchValues))
      count += length(end++);
    if (count == 0) {
      for (; begin < end; ++begin) read.end_vector();
      continue;
    }
    if (!fill_stretch(doubles.get(), batch, begin, end, contains_tuple == 1)) return false;
    const ArrayMemory memory = memory_of(doubles.get());
    if (memory.count != count) throw BrokenInvariant("a batch changed while it was read");
    const char* next = memory.data;
    for (; begin < end; ++begin) {
      append_doubles(values, next, length(begin));
      next += length(begin) * sizeof(double);
      read.end_vector();
    }
    // Emptied at once: PyPy would free a new array per stretch only at its next collection.
    if (PySequence_DelSlice(doubles.get(), 0, PY_SSIZE_T_MAX) < 0) throw_pending();
  }
  vectors = std::move(read);
  return true;
}

void bind_number_list_readers() {
  if (!kPyPy || strategy_of != nullptr) return;
  const Ref builtins = checked(PyImport_ImportModule("builtins"));
  const Ref strategy_names = checked(Py_BuildValue("(ssss)", "FloatListStrategy", "IntegerListStrategy",
                                                   "IntOrFloatListStrategy", "EmptyListStrategy"));
  const Ref sequence_types = checked(Py_BuildValue("(OO)", &PyList_Type, &PyTuple_Type));
  Ref strategy = module_attribute("__pypy__", "strategy"), numbers = frozen_set(strategy_names.get());
  Ref sequences = frozen_set(sequence_types.get()), array = module_attribute("array", "array");
  Ref doubles = checked(PyUnicode_FromString("d")), lengths = checked(PyUnicode_FromString("q"));
  Ref map = attribute(builtins.get(), "map"), len = attribute(builtins.get(), "len");
  Ref packers = defined_packers(array.get(), len.get(), strategy.get(), numbers.get());
  Ref cast = attribute(object_of(&PyMemoryView_Type), "cast");
  Ref buffer_info = attribute(array.get(), "buffer_info");
  pack_numbers = Ref::borrow(PyTuple_GET_ITEM(packers.get(), 0)).release();
  pack_array = Ref::borrow(PyTuple_GET_ITEM(packers.get(), 1)).release();
  plain_numbers = numbers.release();
  lists_and_tuples = sequences.release();
  buffer_info_of = buffer_info.release();
  array_type = array.release();
  double_code = doubles.release();
  length_code = lengths.release();
  map_type = map.release();
  length_of = len.release();
  cast_of = cast.release();
  strategy_of = strategy.release();
}

}  // namespace tamsel::python
