# The bridge's compiled cffi module: its ffi and lib are typed by the C header, not here.
from typing import Any

ffi: Any
lib: Any
