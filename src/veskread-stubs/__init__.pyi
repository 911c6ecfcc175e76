# Type information for the veskread extension module (a single-file module
# cannot carry py.typed, so the types ship as this stub-only package).
import os
import struct
from typing import Any, Dict, Iterable, List, Literal, Optional, Sequence, Tuple, Union, overload

import numpy as np
from numpy.typing import NDArray

_ParameterValue = Union[int, float, str]
_Parameters = Dict[str, _ParameterValue]
_Key = Tuple[str, str, str]
_AnyPath = Union[str, bytes, os.PathLike[str], os.PathLike[bytes], int]

paramDict: Dict[str, str]
struct_error = struct.error

class BaseDataReturn:
    description: str
    dimension: str
    dataType: str
    derivative: str
    parameters: _Parameters
    x: NDArray[np.float64]
    minY: Any
    maxY: Any
    def __init__(
        self,
        dimension: str,
        dataType: str,
        deriv: str,
        parameters: _Parameters,
        x: NDArray[np.float64],
        minY: Any,
        maxY: Any,
    ) -> None: ...

class SingleDataReturn(BaseDataReturn):
    y: NDArray[np.float32]
    def __init__(self, y: NDArray[np.float32], **kwds: Any) -> None: ...

class ImageDataReturn(BaseDataReturn):
    mapX: NDArray[np.float64]
    mapY: NDArray[np.float64]
    spectra: NDArray[np.float32]
    def __init__(
        self, mapX: NDArray[np.float64], mapY: NDArray[np.float64], spectra: NDArray[np.float32],
        **kwds: Any
    ) -> None: ...

class ImageTRCDataReturn(BaseDataReturn):
    mapX: NDArray[np.float64]
    mapY: NDArray[np.float64]
    labels: List[str]
    traces: NDArray[np.float32]
    def __init__(
        self, mapX: NDArray[np.float64], mapY: NDArray[np.float64], labels: List[str],
        traces: NDArray[np.float32], **kwds: Any
    ) -> None: ...

class TimeResolvedDataReturn(BaseDataReturn):
    z: NDArray[np.float64]
    spectra: NDArray[np.float32]
    def __init__(self, z: NDArray[np.float64], spectra: NDArray[np.float32], **kwds: Any) -> None: ...

class TimeResolvedTRCDataReturn(BaseDataReturn):
    labels: List[str]
    traces: NDArray[np.float32]
    def __init__(self, labels: List[str], traces: NDArray[np.float32], **kwds: Any) -> None: ...

class Region:
    title: str
    mapX: NDArray[np.float64]
    mapY: NDArray[np.float64]
    start_time: Optional[NDArray[np.float64]]
    spectra: NDArray[np.float32]
    def __init__(
        self,
        title: str,
        mapX: NDArray[np.float64],
        mapY: NDArray[np.float64],
        start_time: Optional[NDArray[np.float64]],
        spectra: NDArray[np.float32],
    ) -> None: ...

class MultiRegionDataReturn(BaseDataReturn):
    regions: List[Region]
    def __init__(self, regions: List[Region], **kwds: Any) -> None: ...

class MultiRegionTRCDataReturn(BaseDataReturn):
    labels: List[str]
    regions: List[Region]
    def __init__(self, labels: List[str], regions: List[Region], **kwds: Any) -> None: ...

def help() -> None: ...
def listContents(path: _AnyPath) -> List[_Key]: ...
def isVeskFile(path: _AnyPath) -> bool: ...
def decode_string(s: bytes, encodings: Iterable[str] = ...) -> str: ...
# A key written out with "2D" names a spectrum; the other kinds depend on the file.
@overload
def getVeskData(
    path: Optional[str], datablock: Tuple[str, Literal["2D"], str]
) -> SingleDataReturn: ...
@overload
def getVeskData(path: Optional[str], datablock: Sequence[str]) -> BaseDataReturn: ...
def imghdr_what(h: bytes) -> Optional[str]: ...
def getVisImages(path: Optional[str]) -> List[Dict[str, Any]]: ...
def VeskDict() -> Dict[str, str]: ...
