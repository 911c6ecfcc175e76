"""The module's long texts, exact: data-object descriptions and docstrings,
function docstrings and the help text. Texts that share lines are composed
from them, so each line is written once."""


def docstring(*lines):
    """A docstring as a def writes it: one line per argument, indented by four
    spaces (blank lines stay empty), closing quotes on an indented line."""
    return "\n" + "".join("    %s\n" % line if line else "\n" for line in lines) + "    "


# -- data objects: description ---------------------------------------------------

BASE_TEXT = (
    "This object contains:\n"
    "\tdimension of file (.dimension)\n"
    "\tdata block type (.dataType)\n"
    "\tderivative type (.derivative)\n"
    "\tdictionary of parameters with parameter name then value (.parameters)\n"
    "\tspectrum x coordinates (.x)\n"
    "\tminimum and maximum y values (.minY and .maxY)\n")

_MAP_AXES = "\tx mapping coordinates (.mapX)\n\ty mapping coordinates (.mapY)\n"
_LABELS = "\ta list containing the names of the trace blocks (.labels)\n"
_MAP_LAYOUT = (
    "\t\t\tMap x\n"
    "\t\t  x1  x2  x3  x4...xn\n"
    "Map y\t\ty1\n"
    "\t\ty2\n"
    "\t\ty3\n"
    "\t\t.\n"
    "\t\t.\n"
    "\t\tyn\n"
    "\t\n")
_REGIONS = (
    "\tlist of regions (.regions)\n"
    "\n"
    "\teach region is a Region object containing:\n"
    "\t\tdescription of region (title)\n"
    "\t\tx mapping coordinates array (mapX)\n"
    "\t\ty mapping coordinates array (mapY)\n")

APPENDED = {
    "SingleDataReturn": "\ty data points (.y)\n",
    "ImageDataReturn": (
        _MAP_AXES
        + "\t3D numpy array containing the spectrum associated with the x and y mapping "
          "coordinates (.spectra)\n"
        + _MAP_LAYOUT
        + "\taccess the spectrum with returnedObject.spectra[row][column]\n"),
    "ImageTRCDataReturn": (
        _MAP_AXES + _LABELS
        + "\t3D numpy array containing the trace values associated with the x and y mapping "
          "coordinates (.traces)\n"
        + _MAP_LAYOUT
        + "\taccess the trace maps with returnedObject.traces[:,:,label index]\n"),
    "TimeResolvedDataReturn": (
        "\tz (time) axis coordinates (.z)\n"
        "\t2D numpy array containing the spectrum associated with the z time coordinates "
        "(.spectra)\n"
        "\taccess the spectrum with returnedObject.spectra[z]\n"),
    "TimeResolvedTRCDataReturn": (
        _LABELS
        + "\t2D numpy array containing trace values (.traces)\n"
          "\taccess the trace with returnedObject.traces[label index]\n"),
    "MultiRegionDataReturn": (
        _REGIONS
        + "\t\ttimestamps of spectrum acquisition array (start_time)\n"
          "\t\t2D array containing spectra in the region (spectra)\n"
          "\t\taccess a spectrum with\n"
          "\t\t\treturnedObject.regions[region index].spectra[row]"),
    "MultiRegionTRCDataReturn": (
        _LABELS + _REGIONS
        + "\t\t2D array containing traces in the region (spectra)\n"
          "\t\taccess the traces for a position with\n"
          "\t\t\treturnedObject.regions[region index].spectra[row]"),
}


# -- data objects: docstrings ------------------------------------------------------

def _attributes(x_of="spectrum"):
    return [
        "Attributes:",
        "    description (str):  Description of the data object attributes",
        "    dimension (str):    Datablock dimensions (2D or 3D)",
        "    dataType (str):     The datablock type (AB, TR, SSC, etc)",
        "    derivative (str):   Datablock derivative (NONE, 1DER, 2DER, NDER)",
        "    parameters (dict):  Dictionary of relevant data/sample/instrument parameters",
        "    x (:obj:`ndarray`): 1D numpy array of %s x coordinates" % x_of,
        "    minY (float):       Minimum y value",
        "    maxY (float):       Maximum y value",
    ]


_MAP_ATTRIBUTES = [
    "    mapX (:obj:`ndarray`):      1D numpy array of X map coordinates",
    "    mapY (:obj:`ndarray`):      1D numpy array of Y map coordinates",
]
_MULTIREGION_SUMMARY = [
    "Hyperspectral multiregion point map(s) returned by .getVeskData() for",
    "multiregion 3D point mapping datablocks.",
    "",
    "Maps are _not_ guaranteed to be perfect XY grids and so spectral coordinates",
    "cannot be specfied by origin point and dx/dy values as in :class:ImageDataReturn.",
    "",
]
_REGION_ATTRIBUTES = [
    "    regions (:obj:`list` of :obj:`Region`): List of regions.",
    "                        Each region is a :class:Region containing",
    "    regions[0].title (str):     description of region",
    "    regions[0].mapX (ndarray):  1D numpy array of X map coordinates",
    "    regions[0].mapY (ndarray):  1D numpy array of Y map coordinates",
]
_IN_REGION = "                                    returnedObject.regions[region index].spectra[row]"

DOCS = {
    "BaseDataReturn": docstring(
        "Base class for data object returned by .getVeskData().", "", *_attributes()),
    "SingleDataReturn": docstring(
        "Single spectrum data object returned by .getVeskData() for 2D datablocks.", "",
        *_attributes(),
        "    y (:obj:`ndarray`): 1D numpy array of y values"),
    "ImageDataReturn": docstring(
        "Hyperspectral data object returned by .getVeskData() for 3D image datablocks.", "",
        *_attributes(), *_MAP_ATTRIBUTES,
        "    spectra (:obj:`ndarray`):   3D numpy array of spectral maps",
        "                                dataObject.spectra[row][column][x]"),
    "ImageTRCDataReturn": docstring(
        "Map(s) of a single spectral feature/integral/calculation returned by",
        ".getVeskData() for 3D image TRC datablocks.", "",
        *_attributes(), *_MAP_ATTRIBUTES,
        "    labels (:obj:`list` of :obj:`str`):      List of trace block names",
        "    traces (:obj:`list` of :obj:`ndarray`):  3D numpy array of trace maps with",
        "                                             same index as labels:",
        "                                             dataObject.traces[:,:,index]"),
    "TimeResolvedDataReturn": docstring(
        "Time-resolved spectra data object returned by .getVeskData() for 3D-TRS datablocks.",
        "",
        "Z Axis units are available from dataObject.parameters['ZTX']", "",
        *_attributes(),
        "    z (:obj:`ndarray`): 1D numpy array of z (time) axis coordinates",
        "    spectra (:obj:`ndarray`):   2D numpy array of spectral time series",
        "                                dataObject.spectra[z][x]"),
    "TimeResolvedTRCDataReturn": docstring(
        "Time-resolved trace data object returned by .getVeskData() for 3D-TRS TRC "
        "datablocks.", "",
        "x axis units are available from dataObject.parameters['DXU']", "",
        *_attributes("trace"),
        "    labels (:obj:`list` of :obj:`str`):      List of trace names",
        "    traces (:obj:`list` of :obj:`ndarray`):  2D numpy array of traces with",
        "                                             same index as labels:",
        "                                             dataObject.traces[index]"),
    "MultiRegionDataReturn": docstring(
        *_MULTIREGION_SUMMARY, *_attributes(), *_REGION_ATTRIBUTES,
        "    regions[0].start_time (ndarray):   timestamps of spectrum acquisition array",
        "    regions[0].spectra (ndarray):   2D numpy array of of spectra in the region:",
        _IN_REGION),
    "Region": docstring(
        "Returned as part of a :class:MultiRegionDataReturn.", "",
        "Attributes:",
        "    title (str):        description of region",
        "    mapX (ndarray):     1D numpy array of X map coordinates",
        "    mapY (ndarray):     1D numpy array of Y map coordinates",
        "    start_time (ndarray):  timestamps of spectrum acquisition array",
        "    spectra (ndarray):  2D numpy array of of spectra in the region:",
        "                        spectra[row]"),
    "MultiRegionTRCDataReturn": docstring(
        *_MULTIREGION_SUMMARY, *_attributes(),
        "    labels (:obj:`list` of :obj:`str`):      List of trace block names",
        *_REGION_ATTRIBUTES,
        "    regions[0].spectra (ndarray):   2D numpy array of traces in the region:",
        _IN_REGION,
        "                                    As with :class:ImageTRCDataReturn, the index of the",
        "                                    resulting array corresponds to the .labels index"),
}


# -- functions ------------------------------------------------------------------------

_PATH_ARG = ["Args:", "    path (path): Path to file", ""]

FUNCTION_DOCS = {
    "help": docstring("Print a help message containing the available functions."),
    "listContents": docstring(
        "This function returns a list of datablocks for a given file.",
        "Each datablock is identified by blocktype, dimensions and derivative.", "",
        *_PATH_ARG,
        "Returns:",
        "    list of tuple(str, str, str): List containing a (datablocktype, dimensions, "
        "derivative) tuple",
        "    for each datablock in the file"),
    "isVeskFile": docstring(
        "Tests if the given file is an VESK data file.", "",
        *_PATH_ARG,
        "Returns:",
        "    bool: True if an VESK file"),
    "decode_string": "Attempt to decode a string",
    "getVeskData": docstring(
        "This function returns a :obj:`DataReturn` object containing the data and",
        "data parameters for    the specified datablock in the given file.", "",
        "Args:",
        "    path (path):       Path to file",
        "    datablock (tuple of str): tuple(datablocktype, dimensions, derivative)",
        "                              as returned by .listContents()", "",
        "Returns:",
        "    :obj:`DataReturn`: Object containing the requested data and associated",
        "    parameters. Data structure is as specified in data.description and",
        "    can be one of the three types described in :class:`DataReturn`"),
    "imghdr_what": "Simplified version of imghdr.what()",
    "getVisImages": docstring(
        "This function returns a list containing a dictionary for each visible image",
        "in the given file.", "",
        "Args:",
        "    path (path):       Path to file", "",
        "Returns:",
        "    List containing a dictionary for each visible image in the file.", "",
        "    Each dictionary contains:", "",
        "    {'image': bytes(),          # Image data",
        "     'imgext': 'bmp',           # Image type ('bmp' or 'jpeg')",
        "     'Pos. X': 33733.0}         # Useful image attributes"),
    "VeskDict": "Returns a dictionary for translating parameter keys to lower_case_strings.",
}

HELP_LINES = [
    "This library contains the following functions:",
    "\tlistContents('path') :    This function returns a list containing the data blocks, their "
    "dimensions and derivative type",
    "\tisVeskFile('path'):    This function returns true if the file is an Vesk file, false "
    "otherwise",
    "\tgetVeskData('path', ('data block type', 'dimensions', 'derivative')):",
    "\t\tThis function returns a Python object that contains a string parameter called "
    "description (ie: returnedObject.description)",
    "\t\tDescription contains the details of what the Python object contains based on the type "
    "of data block requested.",
    "\tgetVisImages('path'):",
    "\t\tThis function returns a list that contains an entry for each visible image in the file.",
    "",
    " For more detailed descriptions please consult the documentation.",
]
