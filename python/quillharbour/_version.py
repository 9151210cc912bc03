"""The package's version, kept apart so that its modules can read it without importing the package."""

__version__ = "0.1.0"
