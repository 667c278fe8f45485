"""The argument errors of the native modules, for functions written in Python.

A function decorated with `native_errors` keeps its own signature and is
called as it is; only when the interpreter refuses the arguments does the
decorator step in and raise the TypeError that the native modules give for
the same call: the interpreter's messages for functions written in C,

    "%.200s() takes %.8s %zd positional argument%.1s (%zd given)"
    "%s() got an unexpected keyword argument '%U'"
    "%s() got multiple values for keyword argument '%U'"
    "%.200s() keywords must be strings"

filled with the function's own name (not its qualified name), `self`
counting as a positional argument of a method. Which message a call gets,
and with which numbers, follows the native binder step by step: surplus
positional arguments first, then the first required parameter that neither
a position nor a keyword fills, then the first keyword that binds nothing.
"""

import functools
import inspect

# Set by tavro._pure.load: false loads plain functions (the benchmarks' copy).
enabled = True


class _Parameters:
    """What the native binder reads from a text signature."""

    def __init__(self, function):
        parameters = list(inspect.signature(function).parameters.values())
        self.name = function.__name__
        self.self = bool(parameters) and parameters[0].kind is inspect.Parameter.POSITIONAL_ONLY
        if self.self:
            parameters = parameters[1:]
        self.star_args = any(p.kind is inspect.Parameter.VAR_POSITIONAL for p in parameters)
        named = [p for p in parameters if p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD]
        self.names = [p.name for p in named]
        self.required = sum(p.default is inspect.Parameter.empty for p in named)

    def count_error(self, given):
        offset = 1 if self.self else 0
        count, required = len(self.names), self.required
        if given < required + offset:
            expected, more_or_less = required + offset, "at least"
        else:
            expected, more_or_less = count + offset, "at most"
        if required == count and not self.star_args:
            more_or_less = "exactly"
        plural = "" if expected == 1 else "s"
        return TypeError(f"{self.name}() takes {more_or_less} {expected} positional argument{plural} ({given} given)")

    def error(self, args, kwargs):
        """The native binder's TypeError for these arguments (args without self), or None."""
        offset = 1 if self.self else 0
        count = len(self.names)
        if self.self and args is None:  # called without even self
            return self.count_error(0)
        if len(args) > count and not self.star_args:
            return self.count_error(len(args) + offset)
        positional = min(len(args), count)
        matched = 0
        for index in range(positional, count):
            if self.names[index] in kwargs:
                matched += 1
            elif index < self.required:
                return self.count_error(index + offset)
        if matched == len(kwargs):
            return None
        for keyword in kwargs:
            if not isinstance(keyword, str):
                return TypeError(f"{self.name}() keywords must be strings")
            if keyword not in self.names:
                return TypeError(f"{self.name}() got an unexpected keyword argument '{keyword}'")
            if self.names.index(keyword) < positional:
                return TypeError(f"{self.name}() got multiple values for keyword argument '{keyword}'")
        return None


def native_errors(function):
    """`function`, raising the native modules' argument errors. A method's `self` must be
    positional-only (`def read(self, /, count=None)`), as it is in the native signatures."""
    if not enabled:
        return function
    parameters = _Parameters(function)

    @functools.wraps(function)
    def call(*args, **kwargs):
        try:
            return function(*args, **kwargs)
        except TypeError as refused:
            # A refusal of the arguments is raised before the function's own frame starts.
            if refused.__traceback__ is None or refused.__traceback__.tb_next is not None:
                raise
            error = parameters.error((args[1:] if args else None) if parameters.self else args, kwargs)
            if error is None:
                raise
            raise error from None

    return call
