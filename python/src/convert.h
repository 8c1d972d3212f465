// Values between Python and the library: checked numbers, chromosomes as numpy arrays,
// data tables from float arrays, and program trees as nested tuples.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <string>
#include <vector>

#include <evokit/common/encoded_bits.h>
#include <evokit/gp/data_table.h>
#include <evokit/gp/program.h>

namespace evokit::python {

namespace py = pybind11;

// A float array as the library reads it: C order, converted from any numbers.
using TFloatArray = py::array_t<double, py::array::c_style | py::array::forcecast>;

// A finite float from Python (TypeError for a non-number, ValueError for NaN/inf).
double FiniteArg(const py::handle& Value, const char* What);

// The bits of a chromosome as a uint8 array of 0 and 1.
py::array_t<std::uint8_t> BitsToArray(const TMXEncodedBits& Bits);
// Writes a one-dimensional array of 0/1 (or booleans) of exactly Size items into Bits;
// TypeError or ValueError, Bits unchanged, for anything else.
void ArrayToBits(const py::handle& Value, TMXEncodedBits& Bits, int Size);

// The table of X's columns, named Names in order: X is two-dimensional (rows, columns) or
// one row. ValueError unless it has one column per name; EDataTableError for a value
// that is not finite.
TMXDataTable TableFromArray(const TFloatArray& X, const std::vector<std::string>& Names);

// A tree as nested tuples: ("var", name), ("const", value) or (function name, child...).
py::object TreeToTuple(const TMXGPNode<double>* Node);

}  // namespace evokit::python
