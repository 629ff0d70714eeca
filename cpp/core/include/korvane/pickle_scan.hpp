#pragma once
// The structural pass over a saved pipeline's pickle stream, run before the
// interpreter's unpickler sees any of it.
//
// The scan plays the stream on a model of the unpickler's stack and memo:
// what each entry is (a plain value, a text, a tuple, a list, a dictionary, an
// object a call made), how deep it nests, and whether it has been put inside
// another container. From that it refuses, as each opcode comes:
//   - the opcodes no pipeline is written with (sets, persistent ids,
//     extension codes, INST, OBJ, NEWOBJ_EX, out-of-band buffers);
//   - lengths longer than what is left of the stream (the unpickler
//     allocates what a length claims before it reads), stacks and memo
//     references the unpickler would refuse;
//   - nesting deeper than the limit, at the opcode that makes it;
//   - a stream whose opcodes make live more than the allowance of the bytes
//     read up to STOP (memo places included).
// It rewrites the opcodes that call, set a state or make an object (REDUCE,
// BUILD, NEWOBJ) into a call of the unpickler's persistent_load, so the
// caller checks each with the objects at hand, and frames the result whole.
// A fault that must be named by the object's type (a container filled after
// it was put inside another, items added to what is not a list or a
// dictionary, a key that is not a text) ends the stream at that point with a
// call that names the culprit, so only what comes before it is ever built.
#include <cstddef>
#include <cstdint>
#include <string>

namespace korvane::pickles {

// The tags of the rewritten calls: persistent_load receives (first, second, tag). The binding
// exports them, and the scan's outcomes, by name.
enum Tag : uint8_t {
  kReduce = 0,      // (callable, arguments)
  kBuild = 1,       // (object, state): returns the object
  kNewObject = 2,   // (class, arguments)
  kFilledInside = 3,  // (container, None): refused, filled after it was put inside another
  kNotAList = 4,      // (target, None): refused, items appended to what is not a list
  kNotADict = 5,      // (target, None): refused, items set on what is not a dictionary
  kKeyNotText = 6,    // (key, None): refused, a dictionary key that is not a text
};

struct Limits {
  int64_t built_per_byte = 96;     // allowance: bytes a load may make live per byte read
  int64_t built_floor = 8 << 20;   // ... plus this much for any file
  int max_nesting = 100;           // containers inside containers
  int64_t max_digits = 4300;       // decimal digits of a number written as text

  // The ranges each lies in (from 1, the floor from 0): no allowance of a file the scan reads
  // then reaches 2**52, and nesting fits the scan's depth counter.
  static constexpr int64_t kMostBuiltPerByte = int64_t{1} << 20;
  static constexpr int64_t kMostBuiltFloor = int64_t{1} << 40;
  static constexpr int kMostNesting = 10000;
  static constexpr int64_t kMostDigits = int64_t{1} << 20;
};

bool within_ranges(const Limits& limits);

// The refusal of a file whose opcodes, calls and states make more than the allowance.
inline constexpr char kOverAllowance[] = "it builds far more than a pipeline of its size";

enum class Outcome : uint8_t {
  kLoad,       // `stream` loads the file (or ends at a refusal call)
  kRefused,    // a stream no pipeline is written as; `message` says why
  kMalformed,  // not a pickle stream the unpickler would read; `message` says why
};

struct ScanResult {
  Outcome outcome = Outcome::kLoad;
  std::string message;
  std::string stream;  // framed whole, for the unpickler
  // What is left of the allowance of the bytes read, once what the scanned opcodes make live is
  // charged (an estimate about twice the real): what the calls and states may still make.
  int64_t left = 0;
  int64_t read = 0;    // bytes of the file the unpickler reads (to STOP or to the refusal point)
};

// Nothing but the result leaves it: a file that would make the scan allocate more than the
// process holds is refused, saying what it builds.
ScanResult scan(const uint8_t* data, size_t size, const Limits& limits);

}  // namespace korvane::pickles
