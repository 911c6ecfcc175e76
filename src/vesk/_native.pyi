from typing import Any, Dict, List, Optional, Tuple, Union

_Outline = Tuple[
    str, str, str, Optional[str], Optional[Tuple[int, ...]],
    Optional[Dict[str, Union[int, float, str]]], int, Optional[Tuple[str, int]], int, int, int, int,
    bool,
]

def outline(fd: Any, /) -> List[_Outline]: ...
def read_cut_block(
    fd: Any, type: str, dimensions: str, derivative: str, values: Any, times: Any, /
) -> Optional[List[bytes]]: ...
def keep_freed_results(nbytes: int, /) -> None: ...
def output_limit(file_size: int, /) -> int: ...
def read_map_rows(
    fd: Any, type: str, dimensions: str, derivative: str, first_row: int, rows: int, out: Any, /
) -> None: ...
def region_fills(
    fd: Any, type: str, dimensions: str, derivative: str, /
) -> List[Tuple[int, Optional[bytes]]]: ...
