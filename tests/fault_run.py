"""Runs one veskread call and prints its outcome as JSON.

Run as a script under the fault-injecting preload library; imported, it gives
the same description of an outcome for a run without faults.
"""
import json
import sys

import veskread


def describe(value):
    if hasattr(value, "tolist"):
        return value.tolist()
    if isinstance(value, (list, tuple)):
        return [describe(v) for v in value]
    if isinstance(value, dict):
        return {k: describe(v) for k, v in value.items()}
    if isinstance(value, bytes):
        return value.hex()
    if hasattr(value, "__dict__"):
        return {"type": type(value).__name__, **describe(vars(value))}
    return value


def outcome(function, *args):
    try:
        return {"result": describe(getattr(veskread, function)(*args))}
    except Exception as e:
        return {"error": type(e).__name__, "errno": getattr(e, "errno", None), "message": str(e),
                "notes": getattr(e, "__notes__", None)}


if __name__ == "__main__":
    import ctypes

    function, path, *key = sys.argv[1:]
    result = outcome(function, path, *([tuple(key)] if key else []))
    shim = ctypes.CDLL(None)
    for counter in ("fault_shim_reads", "fault_shim_faults"):
        result[counter] = ctypes.c_long.in_dll(shim, counter).value
    print(json.dumps(result))
