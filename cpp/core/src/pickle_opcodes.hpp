#pragma once
// The opcodes of pickle protocols 0 to 5, by the names pickle gives them, and the families the
// scan plays them by.
#include <array>
#include <cstdint>
#include <initializer_list>

namespace korvane::pickles {

enum Op : uint8_t {
  MARK = '(', STOP = '.', POP = '0', POP_MARK = '1', DUP = '2', FLOAT = 'F', INT = 'I', BININT = 'J',
  BININT1 = 'K', LONG = 'L', BININT2 = 'M', NONE = 'N', PERSID = 'P', BINPERSID = 'Q', REDUCE = 'R',
  STRING = 'S', BINSTRING = 'T', SHORT_BINSTRING = 'U', UNICODE = 'V', BINUNICODE = 'X', APPEND = 'a',
  BUILD = 'b', GLOBAL = 'c', DICT = 'd', EMPTY_DICT = '}', APPENDS = 'e', GET = 'g', BINGET = 'h', INST = 'i',
  LONG_BINGET = 'j', LIST = 'l', EMPTY_LIST = ']', OBJ = 'o', PUT = 'p', BINPUT = 'q', LONG_BINPUT = 'r',
  SETITEM = 's', TUPLE = 't', EMPTY_TUPLE = ')', SETITEMS = 'u', BINFLOAT = 'G', BINBYTES = 'B',
  SHORT_BINBYTES = 'C',
  PROTO = 0x80, NEWOBJ = 0x81, EXT1 = 0x82, EXT2 = 0x83, EXT4 = 0x84, TUPLE1 = 0x85, TUPLE2 = 0x86,
  TUPLE3 = 0x87, NEWTRUE = 0x88, NEWFALSE = 0x89, LONG1 = 0x8a, LONG4 = 0x8b, SHORT_BINUNICODE = 0x8c,
  BINUNICODE8 = 0x8d, BINBYTES8 = 0x8e, EMPTY_SET = 0x8f, ADDITEMS = 0x90, FROZENSET = 0x91,
  NEWOBJ_EX = 0x92, STACK_GLOBAL = 0x93, MEMOIZE = 0x94, FRAME = 0x95, BYTEARRAY8 = 0x96,
  NEXT_BUFFER = 0x97, READONLY_BUFFER = 0x98,
};

enum class Family : uint8_t {
  kInvalid,     // no opcode of any protocol
  kStream,      // the protocol, frames, STOP, and the stack's marks: MARK, POP, POP_MARK, DUP
  kScalar,      // numbers, texts, bytes, None and the booleans
  kContainer,   // making tuples, lists and dictionaries, and filling lists and dictionaries
  kMemo,        // GET, PUT and MEMOIZE
  kCall,        // the globals, and the calls, new objects and states
  kUnadmitted,  // what no pipeline is written with: sets, persistent ids, extension codes, INST,
                // OBJ, NEWOBJ_EX and out-of-band buffers
};

constexpr std::array<Family, 256> family_table() {
  std::array<Family, 256> table{};
  auto set = [&table](Family family, std::initializer_list<Op> ops) {
    for (Op op : ops) table[op] = family;
  };
  set(Family::kStream, {PROTO, FRAME, STOP, MARK, POP, POP_MARK, DUP});
  set(Family::kScalar, {FLOAT, INT, LONG, BININT, BININT1, BININT2, BINFLOAT, LONG1, LONG4, NONE, NEWTRUE,
                        NEWFALSE, STRING, UNICODE, BINSTRING, SHORT_BINSTRING, BINUNICODE, SHORT_BINUNICODE,
                        BINUNICODE8, BINBYTES, SHORT_BINBYTES, BINBYTES8, BYTEARRAY8});
  set(Family::kContainer, {EMPTY_TUPLE, EMPTY_LIST, EMPTY_DICT, TUPLE, TUPLE1, TUPLE2, TUPLE3, LIST, DICT, APPEND,
                           APPENDS, SETITEM, SETITEMS});
  set(Family::kMemo, {GET, BINGET, LONG_BINGET, PUT, BINPUT, LONG_BINPUT, MEMOIZE});
  set(Family::kCall, {GLOBAL, STACK_GLOBAL, REDUCE, NEWOBJ, BUILD});
  set(Family::kUnadmitted, {INST, OBJ, NEWOBJ_EX, EMPTY_SET, ADDITEMS, FROZENSET, PERSID, BINPERSID, EXT1, EXT2,
                            EXT4, NEXT_BUFFER, READONLY_BUFFER});
  return table;
}

inline constexpr std::array<Family, 256> kFamilies = family_table();

}  // namespace korvane::pickles
