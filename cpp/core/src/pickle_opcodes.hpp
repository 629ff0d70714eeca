#pragma once
// The opcodes of pickle protocols 0 to 5, by the names pickle gives them.
#include <cstdint>

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

}  // namespace korvane::pickles
