// A set of board cells as 20 row masks (bit c of row r = cell r * 20 + c).
//
// Row masks make the placement tests bit-parallel: a variant's row shifted by
// the anchor column lines up with the board row it lands on.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>

#include "pieces.hpp"

namespace tarnex {

class CellSet {
public:
    using Row = std::uint32_t;

    bool contains(std::size_t cell) const {
        return (rows_[cell / kBoardSide] >> (cell % kBoardSide)) & 1u;
    }
    void insert(std::size_t cell) { rows_[cell / kBoardSide] |= Row{1} << (cell % kBoardSide); }
    void erase(std::size_t cell) { rows_[cell / kBoardSide] &= ~(Row{1} << (cell % kBoardSide)); }

    Row row(std::size_t r) const { return rows_[r]; }
    Row& row(std::size_t r) { return rows_[r]; }

    bool empty() const {
        Row any = 0;
        for (Row r : rows_) any |= r;
        return any == 0;
    }
    std::size_t size() const {
        std::size_t n = 0;
        for (Row r : rows_) n += static_cast<std::size_t>(std::popcount(r));
        return n;
    }
    // Bit r set when row r holds at least one member.
    Row occupied_rows() const {
        Row out = 0;
        for (std::size_t r = 0; r < kBoardSide; ++r) out |= Row{rows_[r] != 0} << r;
        return out;
    }

    // Calls f(cell) for every member in ascending order.
    template <class F>
    void for_each(F&& f) const {
        for (std::size_t r = 0; r < kBoardSide; ++r) {
            for (Row bits = rows_[r]; bits != 0; bits &= bits - 1) {
                f(r * kBoardSide + static_cast<std::size_t>(std::countr_zero(bits)));
            }
        }
    }

    bool operator==(const CellSet&) const = default;

private:
    std::array<Row, kBoardSide> rows_{};
};

}  // namespace tarnex
