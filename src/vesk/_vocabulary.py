"""Human names for block types, derivatives, axis units and parameter keys.

Parameter labels come from the low-level module's vocabulary (`paramDict`,
then `VeskDict`), taken from the core (`_native.vocabulary`) so that a
listing needs no veskread; the tables here name what that vocabulary leaves out.
"""
from __future__ import annotations

import datetime as _dt
import re
from functools import lru_cache
from typing import (Any, Dict, ItemsView, Iterator, KeysView, Mapping, Optional, Tuple, Union,
                    ValuesView)

from vesk import _native

ParameterValue = Union[int, float, str]

_DATA_TYPES: Dict[str, str] = {
    "SC": "Single channel",
    "IFG": "Interferogram",
    "PH": "Phase",
    "AB": "Absorbance",
    "TR": "Transmittance",
    "KM": "Kubelka-Munk",
    "TRC": "Trace",
    "RAM": "Raman intensity",
    "EMIS": "Emission",
    "REFL": "Reflectance",
    "POW": "Power spectrum",
    "LREFL": "Log reflectance",
    "ATR": "ATR",
    "PAS": "Photoacoustic",
    "TRARI": "Transmittance (ARI)",
    "ABARI": "Absorbance (ARI)",
}

_DERIVATIVES: Dict[str, str] = {
    "NONE": "",
    "1DER": "first derivative",
    "2DER": "second derivative",
    "NDER": "higher derivative",
}

# Axis unit code -> (quantity, units as CF writes them or None, dimension name
# used by to_xarray()). Codes without a physical unit get none rather than a guess.
_UNITS: Dict[str, Tuple[str, Optional[str], str]] = {
    "WN": ("Wavenumber", "cm-1", "wavenumber"),
    "MI": ("Wavelength", "um", "wavelength"),
    "NM": ("Wavelength", "nm", "wavelength"),
    "LGW": ("Log wavenumber", None, "log_wavenumber"),
    "MIN": ("Time", "min", "time"),
    "SEC": ("Time", "s", "time"),
    "PNT": ("Points", None, "point_index"),
    "HZ": ("Frequency", "Hz", "frequency"),
}


def _data_type_parts(data_type: str) -> Tuple[Optional[str], str, str]:
    """A data block type's name (None where it is no type), who measured it
    ("sample", "reference" or "") and its channel's suffix, in any case."""
    name = data_type.upper()
    suffix = ""
    if name.endswith("-CH2"):
        name, suffix = name[:-4], ", channel 2"
    if name in _DATA_TYPES:
        return _DATA_TYPES[name], "", suffix
    if name[:1] in ("S", "R") and name[1:] in _DATA_TYPES:
        return _DATA_TYPES[name[1:]], "sample" if name[0] == "S" else "reference", suffix
    return None, "", suffix


def block_type_label(data_type: str) -> str:
    """Name of a data block type such as "AB" ("Absorbance") or "RSC-CH2"."""
    name, who, suffix = _data_type_parts(data_type)
    if name is None:
        return data_type + suffix
    return "%s (%s)%s" % (name, who, suffix) if who else name + suffix


def is_data_type(name: str) -> bool:
    """Whether `name` is a data block's type as its key begins ("AB", "SSC",
    "RSC-CH2"), in any case."""
    return _data_type_parts(name)[0] is not None


def is_derivative(name: str) -> bool:
    """Whether `name` is a key's last part ("NONE", "1DER"), in any case."""
    return name.upper() in _DERIVATIVES


def is_raman(data_type: str) -> bool:
    """Whether blocks of this type ("RAM", "SRAM", "RAM-CH2") hold Raman
    spectra, whose shift axis runs and is drawn from low to high."""
    return "RAM" in data_type.upper()


def derivative_label(derivative: str) -> str:
    """"" for "NONE", else e.g. "first derivative"."""
    return _DERIVATIVES.get(derivative.upper(), derivative)


def unit_label(code: str) -> str:
    """Label of an axis unit code, e.g. "WN" -> "Wavenumber (cm-1)"; unknown codes as given."""
    known = _UNITS.get(code.upper())
    if known is None:
        return code
    quantity, units, _ = known
    return "%s (%s)" % (quantity, units) if units else quantity


def axis_dimension(parameters: Mapping[str, ParameterValue]) -> str:
    """Dimension name of the spectral axis: "wavenumber" for wavenumbers, ..."""
    code = parameters.get("DXU")
    if isinstance(code, str) and code.upper() in _UNITS:
        return _UNITS[code.upper()][2]
    return "spectral"


def axis_attrs(parameters: Mapping[str, ParameterValue]) -> Dict[str, str]:
    """CF `long_name` and `units` of the spectral axis, as far as its unit code
    (DXU) tells them; {} without one."""
    code = parameters.get("DXU")
    if not isinstance(code, str) or not code.strip():
        return {}
    known = _UNITS.get(code.upper())
    if known is None:
        return {"long_name": code}
    quantity, units, _ = known
    return with_units(quantity, units or "")


# Patterns compiled (into re's cache) at first use, not at every start.
_LABEL_UNITS = r"^(.*\S)\s*\(([^()]+)\)$"
# Units that CF readers (xarray) decode into dates or durations on reading
# a netCDF file back: a coordinate of plain numbers must not carry them.
_TIME_WORDS = {"day", "hour", "minute", "second", "millisecond", "microsecond", "nanosecond"}


def with_units(long_name: str, units: str) -> Dict[str, str]:
    """`long_name` and `units` attributes; units that a CF reader would decode
    as dates or durations ("days since ...", "seconds") go into the long_name."""
    units = units.strip()
    word = units.lower()
    if " since " in " %s " % word or word.rstrip("s") in _TIME_WORDS:
        return {"long_name": "%s (%s)" % (long_name, units)}
    return {"long_name": long_name, "units": units} if units else {"long_name": long_name}


def label_attrs(label: ParameterValue) -> Dict[str, str]:
    """CF `long_name` and `units` of an axis label the file writes, such as
    "Time (s)"; a label without a trailing "(units)" is a long_name alone."""
    if not isinstance(label, str) or not label.strip():
        return {}
    m = re.match(_LABEL_UNITS, label.strip())
    if m is None:
        return {"long_name": label.strip()}
    return with_units(m.group(1), m.group(2))


def x_label(parameters: Mapping[str, ParameterValue]) -> str:
    code = parameters.get("DXU")
    return unit_label(code) if isinstance(code, str) and code else "x"


@lru_cache(maxsize=256)  # a folder's files have a few block types: each block listed asks
def y_label(data_type: str, derivative: str) -> str:
    label = block_type_label(data_type)
    deriv = derivative_label(derivative)
    return "%s, %s" % (label, deriv) if deriv else label


@lru_cache(maxsize=1)
def _tables() -> Tuple[Dict[str, str], Dict[str, str]]:
    return _native.vocabulary()


def parameter_label(key: str) -> str:
    """Display label of a three-letter parameter key, e.g. "LWN" -> "Laser Wavenumber".
    The labels are the ones veskread.paramDict holds as imported: an entry
    added to or changed in that dict does not change them."""
    labels, long_names = _tables()
    label = labels.get(key)
    if label is not None:
        return label.replace("Cutofff", "Cutoff")  # veskread keeps the spelling callers know
    name = long_names.get(key)
    if name is None:
        return key
    return name.replace("_", " ").capitalize()


# The date as stored, dd/mm/yyyy; the forms other locales write it in where
# they cannot be misread: a year first (ISO's 2026-04-15), points between
# day, month and year, an English month's name. A month first with slashes
# (04/15/2026) is the stored order's mirror and stays unread; so do numbers
# between dashes, written day first (05-04-2026) and month first (US
# systems' 04-05-2026) alike.
_MONTHS = {name: number for number, names in enumerate((
    "january jan", "february feb", "march mar", "april apr", "may", "june jun", "july jul",
    "august aug", "september sept sep", "october oct", "november nov", "december dec"), 1)
    for name in names.split()}
_MONTH = r"(?P<name>%s)\.?" % "|".join(_MONTHS)
_DATES = [re.compile(r"(?ix)\s*" + form + r"\s*$") for form in (
    r"(?P<day>\d{1,2}) \s* (?P<sep>[/.]) \s* (?P<month>\d{1,2}) \s* (?P=sep) \s* (?P<year>\d{2,4})",
    r"(?P<year>\d{4}) \s* (?P<sep>[/.-]) \s* (?P<month>\d{1,2}) \s* (?P=sep) \s* (?P<day>\d{1,2})",
    r"(?P<day>\d{1,2}) [\s.-]* %s [\s.,-]* (?P<year>\d{4})" % _MONTH,
    r"%s \s* (?P<day>\d{1,2}) (?:st|nd|rd|th)? \s*,? \s* (?P<year>\d{4})" % _MONTH)]
# A time of day, then its zone where one is read; a zone not read ("(CET)",
# "GMT Daylight Time") leaves the time naive, as one with none: runs still
# order by it. The fraction's comma is ISO 8601's as much as its point is.
_TIME = r"""(?ix) \s* (?P<hour>\d{1,2}) : (?P<minute>\d{2})
    (?: : (?P<second>\d{2}) (?: [.,] (?P<fraction>\d{0,6}) \d* )? )?
    (?: \s* (?P<half>[ap]m) \b )?
    \s* (?: (?P<zone> (?P<open>\()? \s* (?= gmt | utc | z (?![a-z]) | [+-] \s* \d)
             (?: gmt | utc | z )? \s*
             (?: (?P<sign>[+-]) \s* (?P<hours>\d{1,2}) (?: :? (?P<minutes>\d{2}) )? )?
             \s* (?(open) \) | $) )
           | )"""


def measurement_time(parameters: Mapping[str, ParameterValue]) -> Optional[_dt.datetime]:
    """The measurement date and time ("DAT" dd/mm/yyyy, "TIM" hh:mm:ss), or None.

    The date may also be written year first (2026-04-15), with points
    (15.04.2026), or with an English month's name (15 Apr 2026, 15-Apr-2026,
    April 15, 2026); a two-digit year is of the 2000s. Numbers between
    dashes (04-05-2026), which either order writes, are not guessed at.

    A time that names its zone, such as "21:38:08.123 (GMT+1)", "21:38:08,123
    UTC" or "21:38:08+01:00", gives an aware datetime; one without a zone is
    naive, as stored, as is one followed by a zone not read ("(CET)").
    """
    date, time = parameters.get("DAT"), parameters.get("TIM")
    if not isinstance(date, str):
        return None
    day_month_year = _date(date)
    if day_month_year is None:
        return None
    day, month, year = day_month_year
    hour = minute = second = micro = 0
    zone: Optional[_dt.tzinfo] = None
    try:  # a damaged file's day 31/02 or zone GMT+99: no time at all
        t = re.match(_TIME, time) if isinstance(time, str) else None
        if t:
            hour, minute = int(t["hour"]), int(t["minute"])
            second = int(t["second"] or 0)
            micro = int((t["fraction"] or "").ljust(6, "0"))
            if t["half"]:  # 12 AM is midnight, 12 PM noon
                if not 1 <= hour <= 12:
                    raise ValueError("hour %d of a 12-hour clock" % hour)
                hour = hour % 12 + (12 if t["half"].lower() == "pm" else 0)
            if t["zone"] is not None:  # GMT, UTC or Z alone: offset 0
                # the sign is the text's: "-0:30" is half an hour west, int("-0") is 0
                sign = -1 if t["sign"] == "-" else 1
                zone = _dt.timezone(sign * _dt.timedelta(hours=int(t["hours"] or 0),
                                                         minutes=int(t["minutes"] or 0)))
        return _dt.datetime(year, month, day, hour, minute, second, micro, tzinfo=zone)
    except ValueError:
        return None


def _date(text: str) -> Optional[Tuple[int, int, int]]:
    for form in _DATES:
        m = form.match(text)
        if m:
            named = m.groupdict().get("name")
            month = _MONTHS[named.lower()] if named else int(m["month"])
            year = int(m["year"])
            return int(m["day"]), month, year + 2000 if year < 100 else year
    return None


def measured_text(parameters: Mapping[str, ParameterValue]) -> Optional[str]:
    """measurement_time in ISO 8601: the date alone where no time of day is
    given, which midnight would claim."""
    when = measurement_time(parameters)
    if when is None:
        return None
    return when.isoformat() if has_time_of_day(parameters) else when.date().isoformat()


def has_time_of_day(parameters: Mapping[str, ParameterValue]) -> bool:
    """Whether measurement_time's time of day is stored, not midnight for want of one."""
    time = parameters.get("TIM")
    return isinstance(time, str) and re.match(_TIME, time) is not None


class ReadOnly(Mapping[str, Any]):
    """A read-only view of a dict (no copy) that, unlike MappingProxyType,
    pickles, so blocks and data objects can travel between Dask workers."""

    __slots__ = ("_data",)

    def __init__(self, data: Dict[str, Any]) -> None:
        self._data = data

    def __getitem__(self, key: str) -> Any:
        return self._data[key]

    # The dict's own, not Mapping's, which go through __getitem__ key by key:
    # a listing asks each block's parameters many times.
    def get(self, key: str, default: Any = None) -> Any:
        return self._data.get(key, default)

    def __contains__(self, key: object) -> bool:
        return key in self._data

    def keys(self) -> KeysView[str]:
        return self._data.keys()

    def values(self) -> ValuesView[Any]:
        return self._data.values()

    def items(self) -> ItemsView[str, Any]:
        return self._data.items()

    def __iter__(self) -> Iterator[str]:
        return iter(self._data)

    def __len__(self) -> int:
        return len(self._data)

    def __repr__(self) -> str:
        return repr(self._data)

    def __reduce__(self) -> Tuple[Any, ...]:
        return (ReadOnly, (self._data,))
