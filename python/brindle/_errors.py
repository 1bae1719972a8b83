"""The exception classes, one per kind of failure, built from the library's result codes."""


class Error(Exception):
    """A failure of the library or of the module.

    code is the library's result code (None when the module refused the call itself), name
    its constant (BRN_ERR_...) and reason its meaning from the library's code table.
    """

    codes = ()

    def __init__(self, text, code=None, name=None, reason=None):
        super().__init__(text)
        self.code = code
        self.name = name
        self.reason = reason

    def __str__(self):
        return str(self.args[0])


class Closed(Error, ValueError):
    """The database or key was closed before this use."""


class KeyNotFound(Error, LookupError):
    """No main key, or no key on the path, of that name."""

    codes = (13, 14)


class PropertyNotFound(Error, KeyError):
    """The key has no property of that name."""

    codes = (7,)


class Exists(Error):
    """A key, property or export file of that name exists already."""

    codes = (16, 19, 47)


class ReadOnly(Error):
    """The main key is read-only."""

    codes = (51,)


class InvalidName(Error, ValueError):
    """A name or path the library does not accept: empty, too long, or an empty level."""

    codes = (10, 18, 55, 102)


class NotAllowed(Error):
    """The database does not allow this change of main keys."""

    codes = (52, 53, 54)


class TransferError(Error):
    """An export or import file could not be written or read."""

    codes = (40, 41, 42, 43, 44, 45, 46, 48, 49, 50, 104, 112, 113)


class InternalError(Error):
    """The library failed inside: an exception it raised (type_name, detail) or caught."""

    codes = (1000,)

    def __init__(self, text, code=None, name=None, reason=None, type_name=None, detail=None):
        super().__init__(text, code, name, reason)
        self.type_name = type_name
        self.detail = detail


class StoreError(Error):
    """Any other failure the library reports with a result code."""


_BY_CODE = {code: cls for cls in Error.__subclasses__() for code in cls.codes}


def from_code(code, name, reason, text):
    """The exception for a result code; text says what failed."""
    return _BY_CODE.get(code, StoreError)(text, code, name, reason)


def internal(type_name, detail):
    """The exception for an MDException that left the library."""
    return InternalError(f"{type_name}: {detail}", type_name=type_name, detail=detail)


def closed(text):
    return Closed(text)
