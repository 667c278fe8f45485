# Type stubs for the tavro package itself; its modules have their own.

from typing import Literal

__version__: str
implementation: Literal["native", "pure"]

def __dir__() -> list[str]: ...
