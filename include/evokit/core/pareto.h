// Pareto dominance, non-dominated sorting, crowding distance and hypervolume over plain
// arrays of objective values: the building blocks of multi-objective selection. What an
// individual's objectives are, and how selection uses these numbers, is left to the
// genetic components.
//
// Points are Count rows of Objectives values, row-major. Every objective is minimised
// (callers negate the ones they maximise). A row holding a NaN is dominated by every row
// without one. The functions are pure: they keep no state and are safe on any thread.
// Bad arguments raise EArgumentOutOfRangeException, naming the argument.
#pragma once

#include <span>
#include <vector>

namespace evokit {

// True when row A is no worse than row B in every objective and better in at least one
// (a row with a NaN dominates nothing; it is dominated by every row without one).
// Objectives < 1 raises EArgumentOutOfRangeException.
bool ParetoDominates(const double* A, const double* B, int Objectives);

// Front index of every row: 0 = non-dominated, 1 = non-dominated once front 0 is removed,
// and so on. Equal rows share a front; rows with a NaN form one last front after all
// others. Every method first sorts the rows lexicographically, so that a row can only be
// dominated by rows before it, then places each row by binary search over the fronts
// found so far. One objective: the sort alone, O(N log N). Two: each front is probed
// through its last row, O(N log N). Three: each front keeps the staircase of its rows'
// last two objectives in an ordered map, O(N log N log F) for F fronts. Four and more:
// efficient non-dominated sort with binary search (each probe scans one front),
// O(M N^2) at worst, far less when the fronts are many and small.
std::vector<int> ParetoRanks(std::span<const double> Points, int Objectives);

// NSGA-II crowding distance of the rows listed in Front (indices into Points), in the
// order of Front. A front of one or two rows is all +infinity. Otherwise, per objective,
// the rows are sorted by value (ties keep Front's order): the first and the last get
// +infinity and every other row adds the gap between its two neighbours divided by the
// objective's span (max - min). An objective of zero span adds nothing (its rows are all
// alike), one of infinite span adds only its two infinities, and rows with a NaN in an
// objective take no part in it. O(M F log F) for F rows.
std::vector<double> CrowdingDistances(std::span<const double> Points, int Objectives,
                                      std::span<const int> Front);

// Volume of the objective space dominated by the rows and bounded by Reference (one value
// per objective). Rows not strictly better than Reference in every objective add nothing;
// duplicates and dominated rows are allowed. Exact for any number of objectives: two by a
// sort and sweep, O(N log N); three by a sweep over the third objective that keeps the
// two-dimensional staircase in an ordered set, O(N log N); four and more by slicing along
// the last objective down to three, O(N^(M-2) log N): exponential in the number of
// objectives. A NaN in Reference raises EArgumentOutOfRangeException.
double Hypervolume(std::span<const double> Points, int Objectives, std::span<const double> Reference);

}  // namespace evokit
