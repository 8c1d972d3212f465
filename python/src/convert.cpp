#include "convert.h"

#include <cmath>
#include <cstddef>
#include <string>

namespace evokit::python {

double FiniteArg(const py::handle& Value, const char* What) {
  if (!PyFloat_Check(Value.ptr()) && !PyLong_Check(Value.ptr()) && !PyNumber_Check(Value.ptr()))
    throw py::type_error(std::string(What) + " must be a number");
  const double v = py::float_(py::reinterpret_borrow<py::object>(Value)).cast<double>();
  if (!std::isfinite(v)) throw py::value_error(std::string(What) + " must be finite");
  return v;
}

py::array_t<std::uint8_t> BitsToArray(const TMXEncodedBits& Bits) {
  const std::string text = Bits.ToBitString();
  py::array_t<std::uint8_t> out(static_cast<py::ssize_t>(text.size()));
  std::uint8_t* p = out.mutable_data();
  for (std::size_t i = 0; i < text.size(); ++i) p[i] = static_cast<std::uint8_t>(text[i] - '0');
  return out;
}

void ArrayToBits(const py::handle& Value, TMXEncodedBits& Bits, int Size) {
  py::array arr = py::array::ensure(Value);
  if (!arr) throw py::type_error("bits must be an array-like of 0 and 1");
  if (arr.dtype().kind() != 'b' && arr.dtype().kind() != 'i' && arr.dtype().kind() != 'u')
    throw py::type_error("bits must hold booleans or integers, not dtype " + std::string(py::str(arr.dtype())));
  if (arr.ndim() != 1 || arr.shape(0) != Size)
    throw py::value_error("bits must be a one-dimensional array of " + std::to_string(Size) + " items");
  auto values = py::array_t<std::int64_t, py::array::forcecast>::ensure(arr);
  const std::int64_t* p = values.data();
  std::string text(static_cast<std::size_t>(Size), '0');
  for (int i = 0; i < Size; ++i) {
    if (p[i] != 0 && p[i] != 1) throw py::value_error("bits must be 0 or 1, item " + std::to_string(i) + " is " +
                                                      std::to_string(p[i]));
    text[static_cast<std::size_t>(i)] = p[i] ? '1' : '0';
  }
  Bits.SetAsBitString(0, Size, text);
}

TMXDataTable TableFromArray(const TFloatArray& X, const std::vector<std::string>& Names) {
  const auto cols = static_cast<py::ssize_t>(Names.size());
  if ((X.ndim() != 1 && X.ndim() != 2) || X.shape(X.ndim() - 1) != cols)
    throw py::value_error("the data must be a row or two-dimensional, with " + std::to_string(cols) + " columns");
  const py::ssize_t rows = X.ndim() == 1 ? 1 : X.shape(0);
  const double* data = X.data();
  TMXDataTable table;
  std::vector<double> column(static_cast<std::size_t>(rows));
  for (py::ssize_t j = 0; j < cols; ++j) {
    for (py::ssize_t i = 0; i < rows; ++i) column[static_cast<std::size_t>(i)] = data[i * cols + j];
    table.AddColumn(Names[static_cast<std::size_t>(j)], column);
  }
  return table;
}

py::object TreeToTuple(const TMXGPNode<double>* Node) {
  const TMXGPInstruction<double>* instruction = Node->Instruction();
  if (!instruction) return py::make_tuple("const", 0.0);
  switch (instruction->Operation()) {
    case gpVariable: return py::make_tuple("var", instruction->DisplayName());
    case gpConstant: return py::make_tuple("const", Node->Value());
    default: {
      py::list items;
      items.append(instruction->DisplayName());
      for (int i = 0; i < Node->GetChildCount(); ++i) items.append(TreeToTuple(Node->GetChild(i)));
      return py::tuple(items);
    }
  }
}

}  // namespace evokit::python
