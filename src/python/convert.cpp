#include "python/convert.hpp"

#include <algorithm>
#include <bit>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <type_traits>

#include "python/messages.hpp"
#include "python/pypy_number_lists.hpp"

namespace tamsel::python {

double to_double(PyObject* object) {
  if (PyFloat_Check(object)) return PyFloat_AS_DOUBLE(object);
  const double value = PyFloat_AsDouble(object);
  if (value != -1.0 || !PyErr_Occurred()) return value;
  // PyPy's PyFloat_AsDouble refuses objects that offer only __index__, which
  // CPython converts through the integer they stand for.
  if (kPyPy && PyErr_ExceptionMatches(PyExc_TypeError) && PyIndex_Check(object) &&
      !PyObject_HasAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__float__")) {
    PyErr_Clear();
    Ref integer = checked(PyNumber_Index(object));
    const double converted = PyLong_AsDouble(integer.get());
    if (converted == -1.0 && PyErr_Occurred()) throw_pending();
    return converted;
  }
  throw_pending();
}

std::size_t to_size(PyObject* object) {
  Ref integer;
  if (!PyLong_Check(object)) {
    integer = checked(PyNumber_Index(object));
    object = integer.get();
  }
  const unsigned long long value = PyLong_AsUnsignedLongLong(object);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw_pending();
  if (value > std::numeric_limits<std::size_t>::max()) raise_size_out_of_range();
  return static_cast<std::size_t>(value);
}

std::string to_text(PyObject* object) {
  if (!PyUnicode_Check(object)) raise_not_convertible(object, "PyString");
  Py_ssize_t length = 0;
  const char* text = PyUnicode_AsUTF8AndSize(object, &length);
  if (text == nullptr) throw_pending();
  return std::string(text, static_cast<std::size_t>(length));
}

NamedValue to_named_value(PyObject* object) {
  if (!PyTuple_Check(object)) raise_not_convertible(object, "PyTuple");
  const Py_ssize_t length = PyTuple_Size(object);
  if (length != 2) raise_wrong_pair_length(length);
  std::string name = to_text(PyTuple_GetItem(object, 0));
  return {std::move(name), Ref::borrow(PyTuple_GetItem(object, 1))};
}

namespace {

// A length reported by an arbitrary sequence only sizes the first buffer; a
// buffer larger than this grows as the elements actually arrive.
constexpr std::size_t kTrustedSizeHint = std::size_t{1} << 16;

}  // namespace

SequenceReader::SequenceReader(PyObject* sequence) : sequence_(sequence) {
  if (PyUnicode_Check(sequence)) raise_str_as_sequence();
  if (!PySequence_Check(sequence)) raise_not_convertible(sequence, "Sequence");
  const Py_ssize_t length = PySequence_Size(sequence);
  if (length < 0) {
    discard_failed_try();
    return;
  }
  const bool exact = PyList_CheckExact(sequence) || PyTuple_CheckExact(sequence);
  size_hint_ = exact ? static_cast<std::size_t>(length) : std::min(static_cast<std::size_t>(length), kTrustedSizeHint);
}

namespace {

template <class T>
void read_elements(const char* first, Py_ssize_t count, Py_ssize_t stride, double* out) {
  const auto read = [&](auto step) {
    for (Py_ssize_t i = 0; i < count; ++i) {
      T value;
      std::memcpy(&value, first + i * step, sizeof(T));
      out[i] = static_cast<double>(value);
    }
  };
  // Elements side by side are read with a stride the compiler knows, so that
  // it converts several at a time.
  constexpr Py_ssize_t kAdjacent = sizeof(T);
  if (stride == kAdjacent) read(std::integral_constant<Py_ssize_t, kAdjacent>{});
  else read(stride);
}

// A '?' element is one byte that the element-by-element rule reads as a
// bool: any byte other than 0 is True, 1.0. Reading it as a C++ bool would be
// undefined for bytes other than 0 and 1 (and gives 2.0 for a byte of 2).
inline void read_bools(const char* first, Py_ssize_t count, Py_ssize_t stride, double* out) {
  for (Py_ssize_t i = 0; i < count; ++i) out[i] = first[i * stride] != 0 ? 1.0 : 0.0;
}

template <class Signed, class Unsigned>
void (*integer_reader(char code))(const char*, Py_ssize_t, Py_ssize_t, double*) {
  return std::islower(static_cast<unsigned char>(code)) ? read_elements<Signed> : read_elements<Unsigned>;
}

// A buffer of numbers in a plain native format, read without making a Python
// object per element. Only objects whose type leaves iteration and indexing
// to a built-in buffer type qualify, and only formats whose element-by-element
// conversion is the plain C conversion to double, so the values, and the
// errors, are those the element-wise rule would give. The view never moves:
// an exporter may point its shape and strides into the view itself.
class NumberBuffer {
 public:
  static std::unique_ptr<NumberBuffer> open(PyObject* object, int ndim);
  NumberBuffer(const NumberBuffer&) = delete;
  NumberBuffer& operator=(const NumberBuffer&) = delete;
  ~NumberBuffer() {
    if (view_.obj != nullptr) PyBuffer_Release(&view_);
  }

  Py_ssize_t extent(int axis) const { return view_.shape[axis]; }
  Py_ssize_t stride(int axis) const { return view_.strides[axis]; }
  // Appends the `count` elements that begin at `offset`, `stride` bytes apart.
  template <class Values>
  void append(Values& out, Py_ssize_t offset, Py_ssize_t count, Py_ssize_t stride) const {
    const std::size_t first = out.size();
    out.resize(first + static_cast<std::size_t>(count));
    read_(static_cast<const char*>(view_.buf) + offset, count, stride, out.data() + first);
  }
  // The elements in place, when they are doubles stored row after row, each
  // where a double may be read (elsewhere they are read by copying).
  const double* contiguous_doubles() const {
    if (read_ != read_elements<double>) return nullptr;
    if (reinterpret_cast<std::uintptr_t>(view_.buf) % alignof(double) != 0) return nullptr;
    Py_ssize_t expected = sizeof(double);
    for (int axis = view_.ndim - 1; axis >= 0; --axis) {
      if (view_.shape[axis] > 1 && view_.strides[axis] != expected) return nullptr;
      expected *= view_.shape[axis];
    }
    return static_cast<const double*>(view_.buf);
  }

 private:
  using Reader = void (*)(const char*, Py_ssize_t, Py_ssize_t, double*);
  NumberBuffer() = default;
  Py_buffer view_{};
  Reader read_ = nullptr;
};

// array.array, bound with the module. Its iteration and indexing give its
// buffer's elements, yet CPython makes it from a spec, a heap type with its
// methods in its dictionary as a class's are. (PyPy gives its C-level twin the
// flags of a class too; there an array is read by the interpreter instead,
// pypy_number_lists.hpp, never through its buffer.)
PyTypeObject* array_type = nullptr;

// A type whose own iteration and indexing are those of its buffer: a static
// type, or (CPython) array.array.
bool iterates_its_buffer(PyTypeObject* type) {
  return !(type->tp_flags & Py_TPFLAGS_HEAPTYPE) || (!kPyPy && type == array_type);
}

bool leaves_iteration_to_builtin_type(PyObject* object) {
  PyTypeObject* type = Py_TYPE(object);
  if (iterates_its_buffer(type)) return true;
  Ref mro = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__mro__"));
  if (!mro) {
    discard_failed_try();
    return false;
  }
  if (!PyTuple_Check(mro.get())) return false;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro.get()); ++i) {
    auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro.get(), i));
    if (iterates_its_buffer(base)) return true;
    Ref dict = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(base), "__dict__"));
    if (!dict) {
      discard_failed_try();
      return false;
    }
    for (const char* name : {"__iter__", "__getitem__", "__len__"}) {
      if (PyMapping_HasKeyString(dict.get(), name)) return false;
    }
  }
  return true;
}

std::unique_ptr<NumberBuffer> NumberBuffer::open(PyObject* object, int ndim) {
  if (!PyObject_CheckBuffer(object) || !leaves_iteration_to_builtin_type(object)) return nullptr;
  std::unique_ptr<NumberBuffer> opened(new NumberBuffer);
  NumberBuffer& buffer = *opened;
  if (PyObject_GetBuffer(object, &buffer.view_, PyBUF_STRIDES | PyBUF_FORMAT) < 0) {
    discard_failed_try();
    buffer.view_.obj = nullptr;
    return nullptr;
  }
  if (buffer.view_.ndim != ndim || buffer.view_.format == nullptr) return nullptr;
  const char* format = buffer.view_.format;
  const bool little_endian = std::endian::native == std::endian::little;
  if (*format == '@' || *format == '=' || (*format == '<' && little_endian)) ++format;
  if (format[0] == '\0' || format[1] != '\0') return nullptr;
  const Py_ssize_t size = buffer.view_.itemsize;
  switch (format[0]) {
    case 'd':
      if (size == 8) buffer.read_ = read_elements<double>;
      break;
    case 'f':
      if (size == 4) buffer.read_ = read_elements<float>;
      break;
    case '?':
      if (size == 1) buffer.read_ = read_bools;
      break;
    case 'b':
    case 'B':
    case 'h':
    case 'H':
    case 'i':
    case 'I':
    case 'l':
    case 'L':
    case 'q':
    case 'Q':
      if (size == 1) buffer.read_ = integer_reader<std::int8_t, std::uint8_t>(format[0]);
      if (size == 2) buffer.read_ = integer_reader<std::int16_t, std::uint16_t>(format[0]);
      if (size == 4) buffer.read_ = integer_reader<std::int32_t, std::uint32_t>(format[0]);
      if (size == 8) buffer.read_ = integer_reader<std::int64_t, std::uint64_t>(format[0]);
      break;
    default: break;
  }
  if (buffer.read_ == nullptr) return nullptr;
  return opened;
}

}  // namespace

void bind_buffer_types() {
  if (array_type != nullptr) return;
  const Ref module = checked(PyImport_ImportModule("array"));
  const Ref type = checked(PyObject_GetAttrString(module.get(), "array"));
  if (!PyType_Check(type.get())) throw BrokenInvariant("array.array is not a type");
  array_type = reinterpret_cast<PyTypeObject*>(Ref(type).release());
}

std::vector<double> From<std::vector<double>>::convert(PyObject* object) {
  std::vector<double> values;
  if (auto buffer = NumberBuffer::open(object, 1)) {
    values.reserve(static_cast<std::size_t>(buffer->extent(0)));
    buffer->append(values, 0, buffer->extent(0), buffer->stride(0));
    return values;
  }
  SequenceReader reader(object);
  values.reserve(reader.size_hint());
  reader.for_each([&](PyObject* element) { values.push_back(to_double(element)); });
  return values;
}

namespace {

std::size_t saturating_add(std::size_t a, std::size_t b) {
  return b > std::numeric_limits<std::size_t>::max() - a ? std::numeric_limits<std::size_t>::max() : a + b;
}

// Makes room for every number of a list or tuple batch, counting its lists
// and tuples by their lengths and any other vector as long as the first. That
// is a guess for the others, so when the room cannot be had the buffer grows
// as the vectors arrive instead, and only numbers that really do not fit
// fail. The length an arbitrary sequence reports is not trusted this far.
void reserve_batch(PyObject* batch, std::size_t first_length, LargeBuffer<double>& values) {
  const bool list = PyList_CheckExact(batch);
  if (!list && !PyTuple_CheckExact(batch)) return;
  const Py_ssize_t count = list ? PyList_GET_SIZE(batch) : PyTuple_GET_SIZE(batch);
  std::size_t total = 0;
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* vector = list ? PyList_GET_ITEM(batch, i) : PyTuple_GET_ITEM(batch, i);
    std::size_t length = first_length;
    if (PyList_CheckExact(vector)) length = static_cast<std::size_t>(PyList_GET_SIZE(vector));
    else if (PyTuple_CheckExact(vector)) length = static_cast<std::size_t>(PyTuple_GET_SIZE(vector));
    total = saturating_add(total, length);
  }
  if (total > values.max_size()) return;
  try {
    values.reserve(total);
  } catch (const std::bad_alloc&) {
  }
}

}  // namespace

VectorList From<VectorList>::convert(PyObject* object) {
  VectorList list;
  LargeBuffer<double>& values = list.values();
  if (auto buffer = NumberBuffer::open(object, 2)) {
    const Py_ssize_t rows = buffer->extent(0), columns = buffer->extent(1);
    if (const double* values_in_place = buffer->contiguous_doubles()) {
      std::shared_ptr<const NumberBuffer> owner = std::move(buffer);
      list.view(values_in_place, static_cast<std::size_t>(rows), static_cast<std::size_t>(columns), std::move(owner));
      return list;
    }
    list.reserve_vectors(static_cast<std::size_t>(rows));
    values.reserve(static_cast<std::size_t>(rows) * static_cast<std::size_t>(columns));
    for (Py_ssize_t row = 0; row < rows; ++row) {
      buffer->append(values, row * buffer->stride(0), columns, buffer->stride(1));
      list.end_vector();
    }
    return list;
  }
  if (read_number_lists(object, list)) return list;
  SequenceReader reader(object);
  list.reserve_vectors(reader.size_hint());
  reader.for_each([&](PyObject* vector) {
    std::vector<double> components = From<std::vector<double>>::convert(vector);
    // The batch is sized once its first vector is known, so it is not copied
    // again and again as it grows.
    if (list.empty()) reserve_batch(object, components.size(), values);
    values.insert(values.end(), components.begin(), components.end());
    list.end_vector();
  });
  return list;
}

}  // namespace tamsel::python
