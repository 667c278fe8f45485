# Type stubs for the tavro package itself; its modules have their own.

__version__: str

def __dir__() -> list[str]: ...
