#include "python/binding.hpp"

#include <algorithm>
#include <bit>
#include <cctype>
#include <cstring>
#include <limits>

namespace tamsel::python {

// ---------------------------------------------------------------- errors

void throw_pending() {
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) raise(PyExc_SystemError, "attempted to fetch exception but none was set");
  PyErr_NormalizeException(&type, &value, &traceback);
  throw PythonError{Ref::steal(type), Ref::steal(value), Ref::steal(traceback)};
}

void raise(PyObject* type, const std::string& message) {
  Ref text = checked(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
  throw ModuleError{type, std::move(text)};
}

std::string type_name(PyObject* object) {
  Ref name = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__qualname__"));
  if (name && PyUnicode_Check(name.get())) {
    Py_ssize_t length = 0;
    if (const char* text = PyUnicode_AsUTF8AndSize(name.get(), &length))
      return std::string(text, static_cast<std::size_t>(length));
  }
  PyErr_Clear();
  return "<failed to extract type name>";
}

void set_python_error(const PythonError& error) noexcept {
  Ref type = error.type, value = error.value, traceback = error.traceback;
  PyErr_Restore(type.release(), value.release(), traceback.release());
}

void set_module_error(const ModuleError& error) noexcept { PyErr_SetObject(error.type, error.message.get()); }

namespace {

// Created once per process, on first need; derived from BaseException so that
// `except Exception` does not swallow a broken invariant.
PyObject* panic_exception_type() {
  static PyObject* type = PyErr_NewExceptionWithDoc(
      "tamsel.PanicException",
      "An internal failure of tamsel. The object that raised it stays usable.",
      PyExc_BaseException, nullptr);
  return type;
}

}  // namespace

void set_internal_failure(const char* message) noexcept {
  PyObject* type = panic_exception_type();
  if (type == nullptr) return;  // the creation failure is pending instead
  PyErr_SetString(type, message);
}

Ref to_python(std::span<const double> values) {
  Ref list = checked(PyList_New(static_cast<Py_ssize_t>(values.size())));
  for (std::size_t i = 0; i < values.size(); ++i)
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), to_python(values[i]).release());
  return list;
}

namespace {

// PyPy's C API gives every number, tuple and list made through it a C-side
// twin, which costs several times what the interpreter spends making the same
// objects itself. So there a result travels packed in bytes objects, and
// these functions, run by the interpreter, build its objects.
constexpr const char* kResultBuildersSource = R"(
from array import array

def unpack_hits(packed, step):
    values = array("d")
    values.frombytes(packed)
    return [(values[i], values[i + 1:i + step].tolist()) for i in range(0, len(values), step)]

def unpack_scored_ids(ids, scores):
    id_values = array("Q")
    id_values.frombytes(ids)
    score_values = array("d")
    score_values.frombytes(scores)
    return list(zip(id_values.tolist(), score_values.tolist()))
)";

// The result builder called `name`, defined on first use and kept for the
// life of the process.
PyObject* result_builder(const char* name) {
  static PyObject* builders = nullptr;
  if (builders == nullptr) {
    Ref globals = checked(PyDict_New());
    if (PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins()) < 0) throw_pending();
    checked(PyRun_String(kResultBuildersSource, Py_file_input, globals.get(), globals.get()));
    builders = globals.release();
  }
  PyObject* builder = PyDict_GetItemString(builders, name);
  if (builder == nullptr) throw InternalFailure(std::string("no result builder named ") + name);
  return builder;
}

Ref bytes_of_size(std::size_t size) {
  return checked(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
}

Ref hits_through_interpreter(const StoredVectorHits& found) {
  const std::size_t step = found.dim + 1;
  Ref packed = bytes_of_size(found.hits.size() * step * sizeof(double));
  char* out = PyBytes_AS_STRING(packed.get());
  for (const StoredVectorHits::Hit& hit : found.hits) {
    std::memcpy(out, &hit.distance, sizeof(double));
    std::memcpy(out + sizeof(double), hit.values, found.dim * sizeof(double));
    out += step * sizeof(double);
  }
  Ref step_object = to_python(step);
  return checked(
      PyObject_CallFunctionObjArgs(result_builder("unpack_hits"), packed.get(), step_object.get(), nullptr));
}

Ref scored_ids_through_interpreter(const std::vector<std::pair<std::size_t, double>>& pairs) {
  static_assert(sizeof(std::size_t) == sizeof(unsigned long long), "ids travel as array('Q') items");
  Ref packed_ids = bytes_of_size(pairs.size() * sizeof(std::size_t));
  Ref packed_scores = bytes_of_size(pairs.size() * sizeof(double));
  char* ids = PyBytes_AS_STRING(packed_ids.get());
  char* scores = PyBytes_AS_STRING(packed_scores.get());
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    std::memcpy(ids + i * sizeof(std::size_t), &pairs[i].first, sizeof(std::size_t));
    std::memcpy(scores + i * sizeof(double), &pairs[i].second, sizeof(double));
  }
  return checked(PyObject_CallFunctionObjArgs(result_builder("unpack_scored_ids"), packed_ids.get(),
                                              packed_scores.get(), nullptr));
}

}  // namespace

Ref to_python(const StoredVectorHits& found) {
  if (kPyPy && !found.hits.empty()) return hits_through_interpreter(found);
  Ref list = checked(PyList_New(static_cast<Py_ssize_t>(found.hits.size())));
  for (std::size_t i = 0; i < found.hits.size(); ++i) {
    const StoredVectorHits::Hit& hit = found.hits[i];
    const std::pair<double, std::span<const double>> tuple{hit.distance, {hit.values, found.dim}};
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), to_python(tuple).release());
  }
  return list;
}

Ref to_python(const std::vector<std::pair<std::size_t, double>>& pairs) {
  // Measured on PyPy: below four pairs, the call into the interpreter costs
  // more than the objects it spares.
  constexpr std::size_t kFewestPairsWorthPacking = 4;
  if (kPyPy && pairs.size() >= kFewestPairsWorthPacking) return scored_ids_through_interpreter(pairs);
  return to_python<std::pair<std::size_t, double>>(pairs);
}

// ---------------------------------------------------------------- conversions

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
  if (value > std::numeric_limits<std::size_t>::max())
    raise(PyExc_OverflowError, "out of range integral type conversion attempted");
  return static_cast<std::size_t>(value);
}

std::string to_text(PyObject* object) {
  if (!PyUnicode_Check(object))
    raise_type_error("'" + type_name(object) + "' object cannot be converted to 'PyString'");
  Py_ssize_t length = 0;
  const char* text = PyUnicode_AsUTF8AndSize(object, &length);
  if (text == nullptr) throw_pending();
  return std::string(text, static_cast<std::size_t>(length));
}

NamedValue to_named_value(PyObject* object) {
  if (!PyTuple_Check(object))
    raise_type_error("'" + type_name(object) + "' object cannot be converted to 'PyTuple'");
  const Py_ssize_t length = PyTuple_Size(object);
  if (length != 2)
    raise_value_error("expected tuple of length 2, but got tuple of length " + std::to_string(length));
  std::string name = to_text(PyTuple_GetItem(object, 0));
  return {std::move(name), Ref::borrow(PyTuple_GetItem(object, 1))};
}

namespace {

// A length reported by an arbitrary sequence only sizes the first buffer; a
// buffer larger than this grows as the elements actually arrive.
constexpr std::size_t kTrustedSizeHint = std::size_t{1} << 16;

}  // namespace

SequenceReader::SequenceReader(PyObject* sequence) : sequence_(sequence) {
  if (PyUnicode_Check(sequence)) raise_type_error("Can't extract `str` to `Vec`");
  if (!PySequence_Check(sequence))
    raise_type_error("'" + type_name(sequence) + "' object cannot be converted to 'Sequence'");
  const Py_ssize_t length = PySequence_Size(sequence);
  if (length < 0) {
    PyErr_Clear();
    return;
  }
  const bool exact = PyList_CheckExact(sequence) || PyTuple_CheckExact(sequence);
  size_hint_ = exact ? static_cast<std::size_t>(length)
                     : std::min(static_cast<std::size_t>(length), kTrustedSizeHint);
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
  // The elements in place, when they are doubles stored row after row.
  const double* contiguous_doubles() const {
    if (read_ != read_elements<double>) return nullptr;
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

bool leaves_iteration_to_builtin_type(PyObject* object) {
  PyTypeObject* type = Py_TYPE(object);
  if (!(type->tp_flags & Py_TPFLAGS_HEAPTYPE)) return true;
  Ref mro = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__mro__"));
  if (!mro || !PyTuple_Check(mro.get())) {
    PyErr_Clear();
    return false;
  }
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro.get()); ++i) {
    auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro.get(), i));
    if (!(base->tp_flags & Py_TPFLAGS_HEAPTYPE)) return true;
    Ref dict = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(base), "__dict__"));
    if (!dict) {
      PyErr_Clear();
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
    PyErr_Clear();
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
    case 'd': if (size == 8) buffer.read_ = read_elements<double>; break;
    case 'f': if (size == 4) buffer.read_ = read_elements<float>; break;
    case '?': if (size == 1) buffer.read_ = read_bools; break;
    case 'b': case 'B': case 'h': case 'H': case 'i': case 'I': case 'l': case 'L': case 'q': case 'Q':
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

// ---------------------------------------------------------------- instances

Borrow::Borrow(std::atomic<std::intptr_t>& counter, Use use) : counter_(counter), use_(use) {
  if (use == Use::Shared) {
    std::intptr_t current = counter.load();
    do {
      if (current == -1) raise(PyExc_RuntimeError, "Already mutably borrowed");
    } while (!counter.compare_exchange_weak(current, current + 1));
  } else {
    std::intptr_t expected = 0;
    if (!counter.compare_exchange_strong(expected, -1)) raise(PyExc_RuntimeError, "Already borrowed");
  }
}

Borrow::~Borrow() {
  if (use_ == Use::Shared)
    counter_.fetch_sub(1);
  else
    counter_.store(0);
}

// ---------------------------------------------------------------- binding

namespace {

[[noreturn]] void raise_formatted(PyObject* message) {
  if (message == nullptr) throw_pending();
  throw ModuleError{PyExc_TypeError, Ref::steal(message)};
}

[[noreturn]] void too_many_positional(const char* qualified_name, std::size_t max, std::size_t required,
                                      std::size_t given) {
  const std::string takes = required == max
                                ? std::to_string(max)
                                : "from " + std::to_string(required) + " to " + std::to_string(max);
  raise_type_error(std::string(qualified_name) + "() takes " + takes + " positional arguments but " +
                   std::to_string(given) + (given == 1 ? " was" : " were") + " given");
}

// Puts one keyword argument into its slot.
void bind_keyword(const char* qualified_name, std::span<const char* const> names, PyObject* keyword,
                  PyObject* value, PyObject** slots) {
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (PyUnicode_Check(keyword) && PyUnicode_CompareWithASCIIString(keyword, names[i]) == 0) {
      if (slots[i] != nullptr)
        raise_type_error(std::string(qualified_name) + "() got multiple values for argument '" + names[i] + "'");
      slots[i] = value;
      return;
    }
  }
  raise_formatted(PyUnicode_FromFormat("%s() got an unexpected keyword argument '%U'", qualified_name, keyword));
}

void require(const char* qualified_name, std::span<const char* const> names, std::size_t required,
             PyObject** slots) {
  for (std::size_t i = 0; i < required; ++i) {
    if (slots[i] == nullptr)
      raise_type_error(std::string(qualified_name) + "() missing 1 required positional argument: '" + names[i] +
                       "'");
  }
}

}  // namespace

void bind_arguments(const char* qualified_name, std::span<const char* const> names, std::size_t required,
                    PyObject* const* args, std::size_t nargs, PyObject* kwnames, PyObject** slots) {
  if (nargs > names.size()) too_many_positional(qualified_name, names.size(), required, nargs);
  std::copy(args, args + nargs, slots);
  if (kwnames != nullptr) {
    const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < count; ++i)
      bind_keyword(qualified_name, names, PyTuple_GET_ITEM(kwnames, i), args[nargs + static_cast<std::size_t>(i)],
                   slots);
  }
  require(qualified_name, names, required, slots);
}

void bind_arguments(const char* qualified_name, std::span<const char* const> names, std::size_t required,
                    PyObject* args, PyObject* kwargs, PyObject** slots) {
  const std::size_t nargs = static_cast<std::size_t>(PyTuple_GET_SIZE(args));
  if (nargs > names.size()) too_many_positional(qualified_name, names.size(), required, nargs);
  for (std::size_t i = 0; i < nargs; ++i) slots[i] = PyTuple_GET_ITEM(args, static_cast<Py_ssize_t>(i));
  if (kwargs != nullptr) {
    Py_ssize_t position = 0;
    PyObject *keyword = nullptr, *value = nullptr;
    while (PyDict_Next(kwargs, &position, &keyword, &value)) bind_keyword(qualified_name, names, keyword, value, slots);
  }
  require(qualified_name, names, required, slots);
}

ModuleError with_parameter_prefix(const char* parameter, PyObject* message_source) {
  Ref text = checked(PyObject_Str(message_source));
  Ref message = checked(PyUnicode_FromFormat("argument '%s': %U", parameter, text.get()));
  return ModuleError{PyExc_TypeError, std::move(message)};
}

// ---------------------------------------------------------------- classes

namespace {

// Instances have no attributes to set. PyPy gives every instance of an
// extension type a dictionary, so the refusal is made here rather than left
// to the absent `__dict__`.
int refuse_attribute(PyObject* self, PyObject* name, PyObject*) noexcept {
  PyErr_Format(PyExc_AttributeError, "'%.100s' object has no attribute '%U'", Py_TYPE(self)->tp_name, name);
  return -1;
}

// PyPy derives no `__doc__` from a doc slot whose text after the signature is
// empty; CPython derives the empty string.
void set_empty_doc(PyObject* type, const char* doc_slot) {
  const char* text = std::strstr(doc_slot, "\n--\n\n");
  if (text == nullptr || text[5] != '\0') return;
  Ref doc = Ref::steal(PyObject_GetAttrString(type, "__doc__"));
  if (!doc) throw_pending();
  if (doc.get() != Py_None) return;
  Ref empty = checked(PyUnicode_FromString(""));
  if (PyObject_SetAttrString(type, "__doc__", empty.get()) < 0) throw_pending();
}

}  // namespace

PyObject* refuse_subclass(PyObject* subclass, PyObject*, PyObject*) noexcept {
  PyObject* base = PyTuple_Check(reinterpret_cast<PyTypeObject*>(subclass)->tp_bases) &&
                           PyTuple_GET_SIZE(reinterpret_cast<PyTypeObject*>(subclass)->tp_bases) > 0
                       ? PyTuple_GET_ITEM(reinterpret_cast<PyTypeObject*>(subclass)->tp_bases, 0)
                       : subclass;
  PyErr_Format(PyExc_TypeError, "type '%.100s' is not an acceptable base type",
               reinterpret_cast<PyTypeObject*>(base)->tp_name);
  return nullptr;
}

PyTypeObject* create_class(const ClassDefinition& definition) {
  PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>(definition.doc_slot)},
      {Py_tp_new, reinterpret_cast<void*>(definition.construct)},
      {Py_tp_dealloc, reinterpret_cast<void*>(definition.deallocate)},
      {Py_tp_setattro, reinterpret_cast<void*>(refuse_attribute)},
      {Py_tp_methods, definition.methods},
      {0, nullptr},
  };
  PyType_Spec spec = {definition.qualified_name, static_cast<int>(definition.instance_size), 0,
                      Py_TPFLAGS_DEFAULT, slots};
  PyObject* type = PyType_FromSpec(&spec);
  if (type == nullptr) {
    PyErr_Print();
    throw InternalFailure(std::string("failed to create type object for ") + definition.name);
  }
  if (kPyPy) set_empty_doc(type, definition.doc_slot);
  return reinterpret_cast<PyTypeObject*>(type);
}

}  // namespace tamsel::python
