"""tavro.lib.hex as a type checker sees it."""

from typing_extensions import assert_type

from tavro.lib.hex import HexDisplayedInteger, HexDumpDisplayedBytes, hexdump, hexundump

text = hexdump(b"tavro\x00\xff", 16)
assert_type(text, str)
assert_type(hexundump(text, 16), bytes)
number = HexDisplayedInteger.new(255, "04x")
assert_type(number, HexDisplayedInteger)
assert_type(number + 1, int)
shown = HexDumpDisplayedBytes(b"tavro")
print(text, str(number), str(shown), sep="\n")
assert_type(shown.render, str)  # the text of the first str(), kept
