#include "korvane/pickle_scan.hpp"

#include "pickle_opcodes.hpp"
#include "pickle_reader.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>
#include <utility>
#include <vector>

namespace korvane::pickles {
namespace {

// What an entry of the unpickler's stack is, as far as the structure goes.
enum Kind : uint8_t {
  kPlain,   // a number, bytes, None, a boolean, a global: nothing inside, never filled
  kText,    // a str: the only admitted dictionary key
  kTuple,
  kList,
  kDict,
  kObject,  // what a call, NEWOBJ or BUILD made: an array, a data type, an estimator, ...
};

struct Node {
  Kind kind;
  bool inside;     // put inside another container: its nesting is final, it may not be filled
  uint16_t depth;  // containers nested in it, itself included
};

// Plain values and texts share one node each: nothing about their identity counts.
constexpr uint32_t kPlainNode = 0;
constexpr uint32_t kTextNode = 1;
constexpr uint32_t kEmptyTupleNode = 2;
constexpr uint32_t kNoEntry = std::numeric_limits<uint32_t>::max();

// What an opcode makes live besides the data it reads, about twice its memory:
// a reference, a memo entry, a mark, a number, the header of a text or bytes,
// new containers, a dictionary entry, a call's object, a new estimator.
constexpr int64_t kReference = 16;
constexpr int64_t kMemoEntry = 32;
constexpr int64_t kMemoPlace = 16;  // the unpickler's memo is an array twice as long as its largest index
constexpr int64_t kMarkCharge = 32;
constexpr int64_t kNumber = 64;
constexpr int64_t kTextHeader = 128;
constexpr int64_t kEmptyList = 128;
constexpr int64_t kEmptyDict = 144;
constexpr int64_t kListCharge = 112;
constexpr int64_t kTupleCharge = 128;
constexpr int64_t kDictEntry = 128;
constexpr int64_t kCallCharge = 256;
constexpr int64_t kGlobalCharge = 64;
constexpr int64_t kBuildCharge = 32;

// Allocates with the operator new that returns null, and throws std::bad_alloc itself: under the
// sanitizers the throwing operator new ends the process instead, where the scan refuses the file.
template <typename T>
struct NothrowAllocator {
  using value_type = T;
  NothrowAllocator() = default;
  template <typename U>
  NothrowAllocator(const NothrowAllocator<U>&) {}
  T* allocate(size_t count) {
    if (count > std::numeric_limits<size_t>::max() / sizeof(T)) throw std::bad_alloc();
    void* memory = ::operator new(count * sizeof(T), std::nothrow);
    if (memory == nullptr) throw std::bad_alloc();
    return static_cast<T*>(memory);
  }
  void deallocate(T* memory, size_t) noexcept { ::operator delete(memory); }
  template <typename U>
  bool operator==(const NothrowAllocator<U>&) const { return true; }
  template <typename U>
  bool operator!=(const NothrowAllocator<U>&) const { return false; }
};

// The unpickler's first memo holds this many places.
constexpr uint64_t kFirstMemoPlaces = 32;

constexpr int kHighestProtocol = 5;

class Scanner : Reader {
 public:
  Scanner(const uint8_t* data, size_t size, const Limits& limits)
      : Reader(data, size, limits.max_digits), limits_(limits) {
    // Whatever the file, nothing the scan keeps outgrows what the file may build.
    most_built_ = allowance(size);
    nodes_.push_back({kPlain, false, 0});
    nodes_.push_back({kText, false, 0});
    nodes_.push_back({kTuple, false, 1});
    out_.reserve(size + 16);
    out_.append(9, '\0');  // FRAME and its length, written at the end
    out_[0] = static_cast<char>(FRAME);
  }

  ScanResult run() {
    ScanResult result;
    try {
      play();
      result.outcome = Outcome::kLoad;
    } catch (Stop& stop) {
      result.outcome = stop.outcome;
      result.message = std::move(stop.message);
      return result;
    } catch (const std::bad_alloc&) {
      return cannot_hold(result);
    } catch (const std::length_error&) {
      return cannot_hold(result);
    }
    const uint64_t body = out_.size() - 9;
    for (int i = 0; i < 8; ++i) out_[1 + i] = static_cast<char>((body >> (8 * i)) & 0xff);
    result.stream = std::move(out_);
    result.left = left_at_stop_;
    result.read = static_cast<int64_t>(read_);
    return result;
  }

 private:
  // ------------------------------------------------------------ what is made

  [[noreturn]] static void over_allowance() { refused(kOverAllowance); }

  // Charges `fixed` bytes plus `count` items of `unit` bytes each. The count is a claim of the
  // file (a length, a memo index, a number of items): it is compared with what is left of the
  // allowance before it is multiplied or added, so that no file makes the sum overflow or wrap.
  // What is left is never negative: every charge is compared with it first.
  void charge_within_allowance(int64_t fixed, uint64_t count = 0, int64_t unit = 1) {
    int64_t left = most_built_ - built_;
    if (fixed > left) over_allowance();
    left -= fixed;
    if (count > static_cast<uint64_t>(left / unit)) over_allowance();
    built_ += fixed + static_cast<int64_t>(count) * unit;
  }

  // An allocation the scan could not make: what the file builds is beyond what the process holds.
  ScanResult& cannot_hold(ScanResult& result) const {
    result.outcome = Outcome::kRefused;
    result.message = "it builds more than this process can hold (" + std::to_string(built_) +
                     " bytes by the opcode at byte " + std::to_string(pos_) + ")";
    return result;
  }

  size_t fence() const { return marks_.empty() ? 0 : marks_.back(); }

  // Items above the innermost mark: the unpickler touches no other.
  size_t above_fence() const { return stack_.size() - fence(); }

  size_t pop_mark() {
    if (marks_.empty()) malformed("could not find MARK");
    const size_t mark = marks_.back();
    marks_.pop_back();
    return mark;
  }

  void push(uint32_t node) { stack_.push_back(node); }

  uint32_t new_node(Kind kind, int depth) {
    check_depth(depth);
    nodes_.push_back({kind, false, static_cast<uint16_t>(depth)});
    return static_cast<uint32_t>(nodes_.size() - 1);
  }

  void check_depth(int depth) const {
    if (depth > limits_.max_nesting) {
      refused("it nests containers more than " + std::to_string(limits_.max_nesting) + " deep");
    }
  }

  // Seals what is put inside a container and returns how deep it nests.
  int put_inside(uint32_t node) {
    Node& n = nodes_[node];
    if (n.kind == kList || n.kind == kDict || n.kind == kObject) n.inside = true;
    return n.depth;
  }

  // Seals every `stride`-th of the stack's entries from `first` on and returns the deepest.
  int put_inside_from(size_t first, size_t stride = 1) {
    int deepest = 0;
    for (size_t i = first; i < stack_.size(); i += stride) deepest = std::max(deepest, put_inside(stack_[i]));
    return deepest;
  }

  // A new container of the stack's items from `first` on, which leave the stack.
  uint32_t container_of(Kind kind, size_t first) {
    const int deepest = put_inside_from(first);
    stack_.resize(first);
    return new_node(kind, deepest + 1);
  }

  // The keys of the key, value, ... items from `first` on must be texts, before anything hashes them.
  void check_keys(size_t start, size_t first) {
    for (size_t i = first; i < stack_.size(); i += 2) {
      if (nodes_[stack_[i]].kind != kText) end_with_refusal(start, i, kKeyNotText);
    }
  }

  void holds(uint32_t container, int inner_depth) {
    Node& n = nodes_[container];
    if (inner_depth + 1 > n.depth) {
      check_depth(inner_depth + 1);
      n.depth = static_cast<uint16_t>(inner_depth + 1);
    }
  }

  // ------------------------------------------------------------ the stream the unpickler runs

  // Copies the file's bytes up to `end`, unchanged, into the stream.
  void copy_to(size_t end) {
    out_.append(reinterpret_cast<const char*>(data_) + copied_, end - copied_);
    copied_ = end;
  }

  // Replaces the opcode that started at `start` (and ends here) with a call of persistent_load:
  // BININT1 tag, TUPLE3, BINPERSID, so that it receives (first, second, tag).
  void rewrite_as_call(size_t start, Tag tag) {
    copy_to(start);
    const char call[] = {static_cast<char>(BININT1), static_cast<char>(tag), static_cast<char>(TUPLE3),
                         static_cast<char>(BINPERSID)};
    out_.append(call, sizeof call);
    copied_ = pos_;
  }

  // Ends the stream before the opcode at `start` with a call naming the stack's entry `culprit`.
  [[noreturn]] void end_with_refusal(size_t start, size_t culprit, Tag tag) {
    copy_to(start);
    // POP takes the top mark when it sits at the top, else the top item: drop both down to the culprit.
    size_t pops = stack_.size() - 1 - culprit;
    for (size_t mark : marks_) pops += mark > culprit ? 1 : 0;
    out_.append(pops, static_cast<char>(POP));
    const char call[] = {static_cast<char>(NONE), static_cast<char>(BININT1), static_cast<char>(tag),
                         static_cast<char>(TUPLE3), static_cast<char>(BINPERSID), static_cast<char>(STOP)};
    out_.append(call, sizeof call);
    finish(start);
    throw Finished{};
  }

  struct Finished {};

  // The allowance is that of the bytes read up to STOP (or to the refusal point), not of the file.
  void finish(size_t read) {
    read_ = read;
    left_at_stop_ = allowance(read) - built_;
    if (left_at_stop_ < 0) over_allowance();
  }

  // What a load may make live for `bytes` of the file read: the limits' ranges and the file's
  // size (checked by scan()) keep it below 2**52.
  int64_t allowance(size_t bytes) const {
    return limits_.built_floor + limits_.built_per_byte * static_cast<int64_t>(bytes);
  }

  // ------------------------------------------------------------ opcodes

  void memo_put(uint64_t index) {
    if (above_fence() == 0) underflow();
    if (index >= memo_places_) {
      // The unpickler makes its memo twice as long as the index: charged before anything grows,
      // which bounds the index by the allowance.
      charge_within_allowance(0, index, kMemoPlace);
      memo_places_ = index * 2;
    }
    if (index >= memo_.size()) grow_memo(index);
    if (memo_[index] == kNoEntry) ++memo_len_;
    memo_[index] = stack_.back();
    charge_within_allowance(kMemoEntry);
  }

  // The scan's memo reaches `index`: a quarter of what the unpickler's takes, already charged.
  void grow_memo(uint64_t index) {
    bool held = true;
    try {
      memo_.resize(static_cast<size_t>(index) + 1, kNoEntry);
    } catch (const std::bad_alloc&) {
      held = false;
    } catch (const std::length_error&) {
      held = false;
    }
    if (!held) {
      refused("it builds more than this process can hold (a memo of " + std::to_string(index + 1) + " places)");
    }
  }

  // The memo index a GET or PUT opcode gives: a decimal line, one byte or four.
  uint64_t memo_index(uint8_t op) {
    if (op == GET || op == PUT) return decimal_line();
    return little_endian(op == BINGET || op == BINPUT ? 1 : 4);
  }

  void memo_get(uint64_t index) {
    if (index >= memo_.size() || memo_[index] == kNoEntry) {
      malformed("Memo value not found at index " + std::to_string(index));
    }
    push(memo_[index]);
    charge_within_allowance(kReference);
  }

  void append(size_t start) {
    if (stack_.size() < fence() + 2) underflow();
    const size_t target = stack_.size() - 2;
    check_kind(start, target, kList, kNotAList);
    const int inner = put_inside(stack_.back());
    check_open(start, target);
    holds(stack_[target], inner);
    stack_.pop_back();
    charge_within_allowance(kReference);
  }

  // The mark of APPENDS or SETITEMS: the container they fill sits just below it, above the mark before.
  size_t filled_mark() {
    if (marks_.empty()) malformed("could not find MARK");
    const size_t mark = marks_.back();
    const size_t outer = marks_.size() > 1 ? marks_[marks_.size() - 2] : 0;
    if (mark <= outer) underflow();
    return mark;
  }

  void appends(size_t start) {
    const size_t mark = filled_mark();
    if (stack_.size() > mark) {
      check_kind(start, mark - 1, kList, kNotAList);
      const int deepest = put_inside_from(mark);
      check_open(start, mark - 1);
      holds(stack_[mark - 1], deepest);
      charge_within_allowance(0, stack_.size() - mark, kReference);
    }
    stack_.resize(mark);
    marks_.pop_back();
  }

  void setitems(size_t start, size_t first) {
    // The items from `first` on are key, value, ...; the dictionary sits just below them.
    if ((stack_.size() - first) % 2 != 0) malformed("odd number of items for SETITEMS");
    check_keys(start, first);
    check_kind(start, first - 1, kDict, kNotADict);
    const int deepest = put_inside_from(first + 1, 2);
    check_open(start, first - 1);
    holds(stack_[first - 1], deepest);
    charge_within_allowance(0, (stack_.size() - first) / 2, kDictEntry);
    stack_.resize(first);
  }

  void check_kind(size_t start, size_t target, Kind kind, Tag wrong_kind) {
    if (nodes_[stack_[target]].kind != kind) end_with_refusal(start, target, wrong_kind);
  }

  // Checked once what is added is sealed: a container added to itself is inside another by then.
  void check_open(size_t start, size_t target) {
    if (nodes_[stack_[target]].inside) end_with_refusal(start, target, kFilledInside);
  }

  void play() {
    try {
      for (;;) step();
    } catch (Finished&) {
    }
  }

  // One opcode, played by its family.
  void step() {
    need(1);
    const size_t start = pos_;
    const uint8_t op = data_[pos_++];
    switch (kFamilies[op]) {
      case Family::kStream:
        return stream_op(start, op);
      case Family::kScalar:
        return scalar(op);
      case Family::kContainer:
        return container_op(start, op);
      case Family::kMemo:
        return memo_op(op);
      case Family::kCall:
        return call(start, op);
      case Family::kUnadmitted:
        unadmitted(op);
      case Family::kInvalid:
        break;
    }
    static const char digits[] = "0123456789abcdef";
    std::string key = "invalid load key, '\\x";
    key += digits[op >> 4];
    key += digits[op & 15];
    malformed(key + "'.");
  }

  // The stream's own opcodes and the stack's marks.
  void stream_op(size_t start, uint8_t op) {
    switch (op) {
      case MARK:
        marks_.push_back(stack_.size());
        charge_within_allowance(kMarkCharge);
        return;
      case STOP:
        copy_to(pos_);
        finish(pos_);
        throw Finished{};
      case POP:
        if (!marks_.empty() && marks_.back() == stack_.size()) {
          marks_.pop_back();
        } else {
          if (above_fence() == 0) underflow();
          stack_.pop_back();
        }
        return;
      case POP_MARK:
        stack_.resize(pop_mark());
        return;
      case DUP:
        if (above_fence() == 0) underflow();
        push(stack_.back());
        charge_within_allowance(kReference);
        return;
      case PROTO: {
        const uint64_t protocol = little_endian(1);
        if (protocol > kHighestProtocol) malformed("unsupported pickle protocol: " + std::to_string(protocol));
        return;
      }
      case FRAME: {
        // Frames are dropped: the stream is framed whole.
        const uint64_t length = little_endian(8);
        need(length);
        copy_to(start);
        copied_ = pos_;
        return;
      }
      default:
        return;
    }
  }

  // Numbers, texts, bytes, None and the booleans: one plain or text entry each.
  void scalar(uint8_t op) {
    switch (op) {
      case FLOAT:
        charge_within_allowance(kNumber, float_line());
        break;
      case INT:
      case LONG:
        charge_within_allowance(kNumber, number_line());
        break;
      case BININT:
      case BININT2:
      case BININT1:
      case BINFLOAT:
        little_endian(op == BININT ? 4 : op == BININT2 ? 2 : op == BININT1 ? 1 : 8);
        charge_within_allowance(op == BININT1 ? kReference : kNumber);  // integers below 256 are shared
        break;
      case LONG1:
      case LONG4:
        charge_within_allowance(kNumber, counted(op == LONG1 ? 1 : 4, true));
        break;
      case STRING:
      case UNICODE:
        charge_within_allowance(kTextHeader, line());
        return push(kTextNode);
      case BINSTRING:
      case SHORT_BINSTRING:
      case BINUNICODE:
      case SHORT_BINUNICODE:
      case BINUNICODE8: {
        const int width = op == SHORT_BINSTRING || op == SHORT_BINUNICODE ? 1 : op == BINUNICODE8 ? 8 : 4;
        charge_within_allowance(kTextHeader, counted(width, op == BINSTRING));
        return push(kTextNode);
      }
      case BINBYTES:
      case SHORT_BINBYTES:
      case BINBYTES8:
      case BYTEARRAY8: {
        const int width = op == SHORT_BINBYTES ? 1 : op == BINBYTES ? 4 : 8;
        charge_within_allowance(kTextHeader, counted(width, false));
        break;
      }
      default:  // NONE, NEWTRUE, NEWFALSE
        charge_within_allowance(kReference);
        break;
    }
    push(kPlainNode);
  }

  // Making tuples, lists and dictionaries, and filling lists and dictionaries.
  void container_op(size_t start, uint8_t op) {
    switch (op) {
      case EMPTY_TUPLE:
        charge_within_allowance(kReference);
        return push(kEmptyTupleNode);
      case EMPTY_LIST:
        charge_within_allowance(kEmptyList);
        return push(new_node(kList, 1));
      case EMPTY_DICT:
        charge_within_allowance(kEmptyDict);
        return push(new_node(kDict, 1));
      case TUPLE:
        charge_within_allowance(kTupleCharge);
        return push(container_of(kTuple, pop_mark()));
      case TUPLE1:
      case TUPLE2:
      case TUPLE3: {
        const size_t count = op == TUPLE1 ? 1 : op == TUPLE2 ? 2 : 3;
        if (above_fence() < count) underflow();
        charge_within_allowance(kTupleCharge);
        return push(container_of(kTuple, stack_.size() - count));
      }
      case LIST: {
        const size_t first = pop_mark();
        charge_within_allowance(kListCharge, stack_.size() - first, kReference);
        return push(container_of(kList, first));
      }
      case DICT:
        return dict(start);
      case APPEND:
        return append(start);
      case APPENDS:
        return appends(start);
      case SETITEM:
        if (stack_.size() < fence() + 3) underflow();
        return setitems(start, stack_.size() - 2);
      case SETITEMS: {
        const size_t mark = filled_mark();
        if (stack_.size() > mark) setitems(start, mark);
        marks_.pop_back();
        return;
      }
      default:
        return;
    }
  }

  void dict(size_t start) {
    if (marks_.empty()) malformed("could not find MARK");
    const size_t first = marks_.back();
    if ((stack_.size() - first) % 2 != 0) malformed("odd number of items for DICT");
    check_keys(start, first);
    marks_.pop_back();
    charge_within_allowance(kEmptyDict, (stack_.size() - first) / 2, kDictEntry);
    const int deepest = put_inside_from(first + 1, 2);
    stack_.resize(first);
    push(new_node(kDict, deepest + 1));
  }

  // GET and PUT in their text, one-byte and four-byte forms, and MEMOIZE.
  void memo_op(uint8_t op) {
    switch (op) {
      case GET:
      case BINGET:
      case LONG_BINGET:
        return memo_get(memo_index(op));
      case PUT:
      case BINPUT:
      case LONG_BINPUT:
        return memo_put(memo_index(op));
      default:  // MEMOIZE
        return memo_put(memo_len_);
    }
  }

  // The globals, and the opcodes that call, make an object or set a state: rewritten as calls.
  void call(size_t start, uint8_t op) {
    switch (op) {
      case GLOBAL: {
        const size_t module = line();
        const size_t name = line();
        charge_within_allowance(kGlobalCharge, uint64_t{module} + name);
        return push(kPlainNode);
      }
      case STACK_GLOBAL:
        if (above_fence() < 2) underflow();
        if (nodes_[stack_.back()].kind != kText || nodes_[stack_[stack_.size() - 2]].kind != kText) {
          malformed("STACK_GLOBAL requires str");
        }
        stack_.resize(stack_.size() - 2);
        charge_within_allowance(kGlobalCharge);
        return push(kPlainNode);
      case REDUCE:
      case NEWOBJ: {
        // What a call makes may hold its arguments (the depth of a new estimator is set by its state).
        if (above_fence() < 2) underflow();
        const int arguments_depth = put_inside(stack_.back());
        put_inside(stack_[stack_.size() - 2]);
        const int depth = op == REDUCE ? std::max(1, arguments_depth) : 1;
        rewrite_as_call(start, op == REDUCE ? kReduce : kNewObject);
        stack_.resize(stack_.size() - 2);
        charge_within_allowance(kCallCharge);
        return push(new_node(kObject, depth));
      }
      default:  // BUILD
        return build(start);
    }
  }

  void build(size_t start) {
    if (above_fence() < 2) underflow();
    const size_t target = stack_.size() - 2;
    // Anything but an object a call made is refused by name when the state reaches it.
    const int state_depth = put_inside(stack_.back());
    if (nodes_[stack_[target]].kind == kObject) {
      check_open(start, target);
      holds(stack_[target], state_depth);
    }
    rewrite_as_call(start, kBuild);
    stack_.pop_back();
    charge_within_allowance(kBuildCharge);
  }

  [[noreturn]] static void unadmitted(uint8_t op) {
    switch (op) {
      case PERSID:
      case BINPERSID:
        refused("it refers to an object outside the file (a persistent id)");
      case EXT1:
      case EXT2:
      case EXT4:
        // The registry is the process's, and its cache would hand out objects no check has seen.
        refused("it names an object by an extension code, which no pipeline does");
      case NEXT_BUFFER:
      case READONLY_BUFFER:
        refused("it refers to out-of-band buffers, which no pipeline has");
      default:  // INST, OBJ, NEWOBJ_EX; sets, which no pipeline holds and which hash what they hold
        refused("it makes an object by a way no pipeline is written");
    }
  }

  size_t copied_ = 0;
  size_t read_ = 0;
  Limits limits_;
  int64_t built_ = 0;       // never above most_built_
  int64_t most_built_ = 0;  // the allowance of the whole file
  int64_t left_at_stop_ = 0;
  std::vector<Node> nodes_;
  std::vector<uint32_t> stack_;
  std::vector<size_t> marks_;
  std::vector<uint32_t, NothrowAllocator<uint32_t>> memo_;  // sized by the file's indices
  uint64_t memo_len_ = 0;
  uint64_t memo_places_ = kFirstMemoPlaces;
  std::string out_;
};

}  // namespace

bool within_ranges(const Limits& limits) {
  return limits.built_per_byte >= 1 && limits.built_per_byte <= Limits::kMostBuiltPerByte &&
         limits.built_floor >= 0 && limits.built_floor <= Limits::kMostBuiltFloor && limits.max_nesting >= 1 &&
         limits.max_nesting <= Limits::kMostNesting && limits.max_digits >= 1 &&
         limits.max_digits <= Limits::kMostDigits;
}

ScanResult scan(const uint8_t* data, size_t size, const Limits& limits) {
  ScanResult refusal;
  refusal.outcome = Outcome::kRefused;
  if (!within_ranges(limits)) {
    refusal.message = "the scan's limits lie outside their ranges";
    return refusal;
  }
  // Node and stack references are 32 bits wide, and each opcode makes at most one.
  if (size >= std::numeric_limits<uint32_t>::max() / 2) {
    refusal.message = "it is larger than any pipeline";
    return refusal;
  }
  try {
    return Scanner(data, size, limits).run();
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {
  }
  // The scanner's first allocations: a copy of the file for the unpickler.
  refusal.message = "it builds more than this process can hold (a copy of its " + std::to_string(size) + " bytes)";
  return refusal;
}

}  // namespace korvane::pickles
