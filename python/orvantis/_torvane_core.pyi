"""Entry point of the orvantis native binding layer. Wired as `orvantis._torvane_core`."""

from typing import (
    Literal,
    Never,
    Self,
    SupportsFloat,
    SupportsIndex,
    TypedDict,
    final,
    type_check_only,
)

__all__ = [
    "PyFormulasRegistry",
    "PyQuarkRegistry",
    "PyCKMMatrix",
    "py_list_constants",
    "py_list_quarks",
    "py_get_constant",
    "__version__",
]

__version__: str

# What py_get_constant returns is a plain dict made by json.loads; this shape exists for the type
# checker alone, hence private and marked so: importing it at run time fails.
@type_check_only
class _ConstantDatasheet(TypedDict):
    name: str
    status: Literal["Seed", "Cached", "Pending", "External"]
    uncertainty: float | None
    units: str
    value: float | None

@final
class PyFormulasRegistry:
    """Python wrapper for [`FormulasRegistry`]."""

    def __new__(cls) -> Self: ...
    def __len__(self) -> int: ...
    def get(self, name: str) -> float:
        """Retrieve the numeric value for `name`."""

    @staticmethod
    def version() -> str:
        """Library-version round-trip helper."""

@final
class PyQuarkRegistry:
    """Python wrapper for [`QuarkRegistry`]."""

    def __new__(cls) -> Self: ...
    def __len__(self) -> int: ...

@final
class PyCKMMatrix:
    """Python wrapper for [`CKMMatrix`]."""

    # Calling the class always raises TypeError; instances come from from_topology() alone. A
    # parameter no value can match makes every call a type error too. (A NoReturn __new__ would
    # turn the class into a plain function for mypy and hide from_topology.)
    def __new__(cls, no_constructor: Never, /) -> Self: ...
    @staticmethod
    def from_topology() -> PyCKMMatrix:
        """Build the CKM matrix from the underlying topology."""

    # Anything PyFloat_AsDouble converts: float, __float__ or __index__ (int and bool among them).
    def is_unitary(self, tol: float | SupportsFloat | SupportsIndex) -> bool:
        """`True` when the matrix is unitary within `tol`."""

    def jarlskog(self) -> float:
        """CP-violation Jarlskog invariant J."""

def py_list_constants() -> list[str]:
    """Accelerated twin of `orvantis.list_constants`.

    Returns all known constant names from the FormulasRegistry.
    """

def py_list_quarks() -> list[str]:
    """Accelerated twin of `orvantis.list_quarks`.

    Returns all SM quark names from the QuarkRegistry.
    """

def py_get_constant(name: str) -> _ConstantDatasheet:
    """Accelerated twin of `orvantis.Get` for the constants branch.

    Returns a JSON-serialised dict with `name`, `value`, `units`,
    `uncertainty`, and `status` fields — matching the Python constant
    datasheet schema so callers don't need to branch.

    Raises `PyKeyError` when `name` is not in the registry.
    """
