// Derives the Boolean circuits of the eight DES S-boxes from their tables in crypto/des_fips.h and
// prints crypto/des_circuits.h exactly as it stands in the tree, formatted as clang-format leaves
// it. Not part of the program; the test "des_circuits_current" runs it and compares. When the
// circuits change:
//
//   cmake --build build --target korproxy-circuits-gen && build/bin/korproxy-circuits-gen >
//   crypto/des_circuits.h
//
// Each output bit is a function of the six input bits, held as a 64-bit truth table (bit i is the
// value for the input i, the first input bit being the most significant of the six). A function is
// split on one input bit into its two halves (cofactors), which are built the same way, and joined
// by the cheapest gate that fits: AND, AND-NOT or OR when a half is constant, XOR when the halves
// are complements, else a selection. Every gate is kept by its truth table, so the four outputs
// share whatever they have in common, and a function that is the AND, OR or XOR of two gates
// already built costs one gate. The order in which input bits are split on is searched per S-box;
// the circuit with the fewest gates is printed.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <numeric>
#include <vector>

#include "crypto/des_fips.h"

namespace {

enum Op { kInput, kAnd, kOr, kXor, kAndNot, kNot };

struct Gate {
    uint64_t table;
    Op op;
    int a, b;
};

constexpr uint64_t kAll = ~uint64_t{0};

uint64_t inputTable(int bit) {  // bit 0 is the first (most significant) input bit
    uint64_t t = 0;
    for (int i = 0; i < 64; ++i) {
        if ((i >> (5 - bit)) & 1) t |= uint64_t{1} << i;
    }
    return t;
}

struct Circuit {
    std::vector<Gate> gates;
    bool pairSearch = false;
    int lookahead = 0;

    Circuit() {
        for (int k = 0; k < 6; ++k) gates.push_back({inputTable(k), kInput, k, 0});
    }
    int find(uint64_t t) const {
        for (size_t i = 0; i < gates.size(); ++i) {
            if (gates[i].table == t) return static_cast<int>(i);
        }
        return -1;
    }
    int add(Op op, int a, int b) {
        const uint64_t x = gates[a].table, y = b >= 0 ? gates[b].table : 0;
        uint64_t t = 0;
        switch (op) {
            case kAnd:
                t = x & y;
                break;
            case kOr:
                t = x | y;
                break;
            case kXor:
                t = x ^ y;
                break;
            case kAndNot:
                t = x & ~y;
                break;
            case kNot:
                t = ~x;
                break;
            case kInput:
                break;
        }
        const int found = find(t);
        if (found >= 0) return found;
        gates.push_back({t, op, a, b});
        return static_cast<int>(gates.size()) - 1;
    }
    // One gate over two that exist already, or -1.
    int fromPair(uint64_t f) {
        const int n = static_cast<int>(gates.size());
        for (int i = 0; i < n; ++i) {
            for (int j = 0; j < n; ++j) {
                const uint64_t x = gates[i].table, y = gates[j].table;
                if (i < j && (x ^ y) == f) return add(kXor, i, j);
                if (i < j && (x & y) == f) return add(kAnd, i, j);
                if (i < j && (x | y) == f) return add(kOr, i, j);
                if (i != j && (x & ~y) == f) return add(kAndNot, i, j);
            }
        }
        return -1;
    }
    int build(uint64_t f, const std::array<int, 6>& order, int depth);
};

void cofactors(uint64_t f, int bit, uint64_t& f0, uint64_t& f1) {
    const uint64_t v = inputTable(bit);
    const int shift = 1 << (5 - bit);
    f0 = f & ~v;
    f0 |= f0 << shift;
    f1 = f & v;
    f1 |= f1 >> shift;
}

int Circuit::build(uint64_t f, const std::array<int, 6>& order, int depth) {
    if (int g = find(f); g >= 0) return g;
    if (int g = find(~f); g >= 0) return add(kNot, g, -1);
    if (pairSearch) {
        if (int g = fromPair(f); g >= 0) return g;
    }
    int bit = -1;
    uint64_t f0 = 0, f1 = 0;
    for (int k : order) {
        cofactors(f, k, f0, f1);
        if (f0 != f1) {
            bit = k;
            break;
        }
    }
    if (bit < 0) {  // a constant: x AND-NOT x, or its complement
        const int zero = add(kAndNot, 0, 0);
        return f == 0 ? zero : add(kNot, zero, -1);
    }
    if (f0 == 0) return add(kAnd, build(f1, order, depth + 1), bit);
    if (f1 == 0) return add(kAndNot, build(f0, order, depth + 1), bit);
    if (f1 == kAll) return add(kOr, build(f0, order, depth + 1), bit);
    if (f0 == kAll) return add(kNot, add(kAndNot, bit, build(f1, order, depth + 1)), -1);
    if (f1 == ~f0) return add(kXor, build(f0, order, depth + 1), bit);
    // A selection, in one of three forms: f0 ^ (g & x), f1 ^ (g & ~x), (f0 & ~x) | (f1 & x).
    const uint64_t g = f0 ^ f1;
    auto form = [&](Circuit& c, int which) {
        if (which == 0) {
            const int h = c.build(f0, order, depth + 1);
            return c.add(kXor, h, c.add(kAnd, c.build(g, order, depth + 1), bit));
        }
        if (which == 1) {
            const int h = c.build(f1, order, depth + 1);
            return c.add(kXor, h, c.add(kAndNot, c.build(g, order, depth + 1), bit));
        }
        const int lo = c.add(kAndNot, c.build(f0, order, depth + 1), bit);
        return c.add(kOr, lo, c.add(kAnd, c.build(f1, order, depth + 1), bit));
    };
    int best = 0;
    if (depth < lookahead) {
        size_t fewest = SIZE_MAX;
        for (int which = 0; which < 3; ++which) {
            Circuit trial = *this;
            form(trial, which);
            if (trial.gates.size() < fewest) {
                fewest = trial.gates.size();
                best = which;
            }
        }
    }
    return form(*this, best);
}

// The truth table of output bit `j` (0 the most significant) of S-box `box`.
uint64_t outputTable(int box, int j) {
    uint64_t t = 0;
    for (int i = 0; i < 64; ++i) {
        const int row = ((i >> 4) & 2) | (i & 1);
        const int column = (i >> 1) & 15;
        if ((desfips::kSBoxes[box][16 * row + column] >> (3 - j)) & 1) t |= uint64_t{1} << i;
    }
    return t;
}

struct Result {
    Circuit circuit;
    std::array<int, 4> outputs{};
};

Result buildBox(int box, const std::array<int, 6>& order, const std::array<int, 4>& outputOrder,
                bool pairSearch, int lookahead) {
    Result r;
    r.circuit.pairSearch = pairSearch;
    r.circuit.lookahead = lookahead;
    for (int j : outputOrder) r.outputs[j] = r.circuit.build(outputTable(box, j), order, 0);
    return r;
}

size_t gateCount(const Result& r) {
    return r.circuit.gates.size() - 6;
}

// The cheapest circuit found: every split order and output order cheaply, then the best few again
// with the pair search and a deeper look-ahead.
Result bestBox(int box) {
    struct Candidate {
        size_t gates;
        std::array<int, 6> order;
        std::array<int, 4> outputOrder;
    };
    std::vector<Candidate> candidates;
    std::array<int, 6> order;
    std::iota(order.begin(), order.end(), 0);
    do {
        std::array<int, 4> outputOrder = {0, 1, 2, 3};
        do {
            candidates.push_back(
                {gateCount(buildBox(box, order, outputOrder, false, 1)), order, outputOrder});
        } while (std::next_permutation(outputOrder.begin(), outputOrder.end()));
    } while (std::next_permutation(order.begin(), order.end()));
    std::sort(candidates.begin(), candidates.end(),
              [](const Candidate& x, const Candidate& y) { return x.gates < y.gates; });
    Result best = buildBox(box, candidates[0].order, candidates[0].outputOrder, false, 1);
    for (size_t c = 0; c < std::min<size_t>(candidates.size(), 300); ++c) {
        Result r = buildBox(box, candidates[c].order, candidates[c].outputOrder, true, 3);
        if (gateCount(r) < gateCount(best)) best = r;
    }
    return best;
}

void print(int box, const Result& r) {
    const auto& gates = r.circuit.gates;
    std::printf("    {  // S-box %d: %zu gates\n", box + 1, gateCount(r));
    auto name = [&](int g) {
        static char text[4][16];
        static int next = 0;
        char* out = text[next++ % 4];
        if (gates[g].op == kInput) {
            std::snprintf(out, 16, "x[%d]", 6 * box + gates[g].a);
        } else {
            std::snprintf(out, 16, "t%d", g);
        }
        return out;
    };
    for (size_t g = 6; g < gates.size(); ++g) {
        const Gate& x = gates[g];
        const int gi = static_cast<int>(g);
        const char* op = x.op == kAnd ? "& " : x.op == kOr ? "| " : x.op == kXor ? "^ " : "& ~";
        if (x.op == kNot) {
            std::printf("        const W %s = ~%s;\n", name(gi), name(x.a));
        } else {
            std::printf("        const W %s = %s %s%s;\n", name(gi), name(x.a), op, name(x.b));
        }
    }
    for (int j = 0; j < 4; ++j) {
        std::printf("        y[%d] = %s;\n", 4 * box + j, name(r.outputs[j]));
    }
    std::printf("    }\n");
}

}  // namespace

int main() {
    std::printf(
        "// The eight DES S-boxes as Boolean circuits, for the bitsliced cipher.\n//\n"
        "// Owns nothing but the circuits. Printed by crypto/tools/des_circuits_gen.cpp from the\n"
        "// S-box tables of crypto/des_fips.h; do not edit by hand.\n"
        "#pragma once\n\nnamespace {\n\n"
        "// x[6k] to x[6k + 5] are the six input bits of S-box k + 1 (x[6k] the first), in as "
        "many\n"
        "// lanes as a word W holds; y[4k] to y[4k + 3] receive its four output bits, the most\n"
        "// significant first.\n"
        "template <typename W>\n"
        "__attribute__((always_inline)) inline void desSboxCircuits(const W* x, W* y) {\n");
    size_t total = 0;
    for (int box = 0; box < 8; ++box) {
        Result r = bestBox(box);
        total += gateCount(r);
        print(box, r);
        std::fprintf(stderr, "S-box %d: %zu gates\n", box + 1, gateCount(r));
    }
    std::printf("}\n\n}  // namespace\n");
    std::fprintf(stderr, "total %zu gates\n", total);
    return 0;
}
