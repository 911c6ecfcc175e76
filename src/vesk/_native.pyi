from typing import Any, Dict, List, Optional, Tuple, Union

_Outline = Tuple[
    str, str, str, Optional[str], Optional[Tuple[int, ...]],
    Optional[Dict[str, Union[int, float, str]]], int, Optional[Tuple[str, int]],
]

def outline(fd: Any, /) -> List[_Outline]: ...
def keep_freed_results(nbytes: int, /) -> None: ...
def read_map_rows(
    fd: Any, type: str, dimensions: str, derivative: str, first_row: int, rows: int, out: Any, /
) -> None: ...
