"""The version of the distribution that ships `vesk` and `veskread`."""

__version__ = "0.1.0"
