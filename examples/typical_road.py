"""Integers to bytes and bits and back."""
from tavro.lib import binary

print(binary.__name__, "loaded")
