# Type stubs of kelvo._typed, the native half of typed decoding.

from typing import final

# A class table row: (attribute names, wire keys, as_array, slot descriptors, key encodings).
_Row = tuple[tuple[str, ...], tuple[object, ...], bool, tuple[object, ...], tuple[bytes, ...]]

def item_end(data: bytes, offset: int = 0, max_depth: int = 400, /) -> int: ...

@final
class Program:
    def decode(self, data: bytes, /) -> object: ...

def compile(plan: object, max_depth: int, hooks: tuple[object, object, object, object], /) -> Program: ...
def write_fields(table: dict[type, _Row],
                 fallback: object,
                 encoder: object, value: object, /) -> object: ...
def flatten(value: object, table: dict[type, _Row],
            others: dict[type, None], classify: object, max_depth: int, shared: bool, /) -> object: ...
def write_plain(value: object, table: dict[type, _Row],
                dumps: object, max_depth: int, /) -> bytes | None: ...
