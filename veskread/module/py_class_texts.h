// Docstrings and description texts of the data classes (user-facing, exact).
#pragma once

namespace vesk::py::texts {

inline constexpr const char* kBaseDescription =
    "This object contains:\n"
    "\tdimension of file (.dimension)\n"
    "\tdata block type (.dataType)\n"
    "\tderivative type (.derivative)\n"
    "\tdictionary of parameters with parameter name then value (.parameters)\n"
    "\tspectrum x coordinates (.x)\n"
    "\tminimum and maximum y values (.minY and .maxY)\n";

inline constexpr const char* kBaseDataReturnDoc =
    "\n"
    "    Base class for data object returned by .getVeskData().\n"
    "\n"
    "    Attributes:\n"
    "        description (str):  Description of the data object attributes\n"
    "        dimension (str):    Datablock dimensions (2D or 3D)\n"
    "        dataType (str):     The datablock type (AB, TR, SSC, etc)\n"
    "        derivative (str):   Datablock derivative (NONE, 1DER, 2DER, NDER)\n"
    "        parameters (dict):  Dictionary of relevant data/sample/instrument parameters\n"
    "        x (:obj:`ndarray`): 1D numpy array of spectrum x coordinates\n"
    "        minY (float):       Minimum y value\n"
    "        maxY (float):       Maximum y value\n"
    "    ";

inline constexpr const char* kSingleDataReturnDoc =
    "\n"
    "    Single spectrum data object returned by .getVeskData() for 2D datablocks.\n"
    "\n"
    "    Attributes:\n"
    "        description (str):  Description of the data object attributes\n"
    "        dimension (str):    Datablock dimensions (2D or 3D)\n"
    "        dataType (str):     The datablock type (AB, TR, SSC, etc)\n"
    "        derivative (str):   Datablock derivative (NONE, 1DER, 2DER, NDER)\n"
    "        parameters (dict):  Dictionary of relevant data/sample/instrument parameters\n"
    "        x (:obj:`ndarray`): 1D numpy array of spectrum x coordinates\n"
    "        minY (float):       Minimum y value\n"
    "        maxY (float):       Maximum y value\n"
    "        y (:obj:`ndarray`): 1D numpy array of y values\n"
    "    ";

inline constexpr const char* kImageDataReturnDoc =
    "\n"
    "    Hyperspectral data object returned by .getVeskData() for 3D image datablocks.\n"
    "\n"
    "    Attributes:\n"
    "        description (str):  Description of the data object attributes\n"
    "        dimension (str):    Datablock dimensions (2D or 3D)\n"
    "        dataType (str):     The datablock type (AB, TR, SSC, etc)\n"
    "        derivative (str):   Datablock derivative (NONE, 1DER, 2DER, NDER)\n"
    "        parameters (dict):  Dictionary of relevant data/sample/instrument parameters\n"
    "        x (:obj:`ndarray`): 1D numpy array of spectrum x coordinates\n"
    "        minY (float):       Minimum y value\n"
    "        maxY (float):       Maximum y value\n"
    "        mapX (:obj:`ndarray`):      1D numpy array of X map coordinates\n"
    "        mapY (:obj:`ndarray`):      1D numpy array of Y map coordinates\n"
    "        spectra (:obj:`ndarray`):   3D numpy array of spectral maps\n"
    "                                    dataObject.spectra[row][column][x]\n"
    "    ";

inline constexpr const char* kImageTRCDataReturnDoc =
    "\n"
    "    Map(s) of a single spectral feature/integral/calculation returned by\n"
    "    .getVeskData() for 3D image TRC datablocks.\n"
    "\n"
    "    Attributes:\n"
    "        description (str):  Description of the data object attributes\n"
    "        dimension (str):    Datablock dimensions (2D or 3D)\n"
    "        dataType (str):     The datablock type (AB, TR, SSC, etc)\n"
    "        derivative (str):   Datablock derivative (NONE, 1DER, 2DER, NDER)\n"
    "        parameters (dict):  Dictionary of relevant data/sample/instrument parameters\n"
    "        x (:obj:`ndarray`): 1D numpy array of spectrum x coordinates\n"
    "        minY (float):       Minimum y value\n"
    "        maxY (float):       Maximum y value\n"
    "        mapX (:obj:`ndarray`):      1D numpy array of X map coordinates\n"
    "        mapY (:obj:`ndarray`):      1D numpy array of Y map coordinates\n"
    "        labels (:obj:`list` of :obj:`str`):      List of trace block names\n"
    "        traces (:obj:`list` of :obj:`ndarray`):  3D numpy array of trace maps with\n"
    "                                                 same index as labels:\n"
    "                                                 dataObject.traces[:,:,index]\n"
    "    ";

inline constexpr const char* kTimeResolvedDataReturnDoc =
    "\n"
    "    Time-resolved spectra data object returned by .getVeskData() for 3D-TRS datablocks.\n"
    "\n"
    "    Z Axis units are available from dataObject.parameters['ZTX']\n"
    "\n"
    "    Attributes:\n"
    "        description (str):  Description of the data object attributes\n"
    "        dimension (str):    Datablock dimensions (2D or 3D)\n"
    "        dataType (str):     The datablock type (AB, TR, SSC, etc)\n"
    "        derivative (str):   Datablock derivative (NONE, 1DER, 2DER, NDER)\n"
    "        parameters (dict):  Dictionary of relevant data/sample/instrument parameters\n"
    "        x (:obj:`ndarray`): 1D numpy array of spectrum x coordinates\n"
    "        minY (float):       Minimum y value\n"
    "        maxY (float):       Maximum y value\n"
    "        z (:obj:`ndarray`): 1D numpy array of z (time) axis coordinates\n"
    "        spectra (:obj:`ndarray`):   2D numpy array of spectral time series\n"
    "                                    dataObject.spectra[z][x]\n"
    "    ";

inline constexpr const char* kTimeResolvedTRCDataReturnDoc =
    "\n"
    "    Time-resolved trace data object returned by .getVeskData() for 3D-TRS TRC datablocks.\n"
    "\n"
    "    x axis units are available from dataObject.parameters['DXU']\n"
    "\n"
    "    Attributes:\n"
    "        description (str):  Description of the data object attributes\n"
    "        dimension (str):    Datablock dimensions (2D or 3D)\n"
    "        dataType (str):     The datablock type (AB, TR, SSC, etc)\n"
    "        derivative (str):   Datablock derivative (NONE, 1DER, 2DER, NDER)\n"
    "        parameters (dict):  Dictionary of relevant data/sample/instrument parameters\n"
    "        x (:obj:`ndarray`): 1D numpy array of trace x coordinates\n"
    "        minY (float):       Minimum y value\n"
    "        maxY (float):       Maximum y value\n"
    "        labels (:obj:`list` of :obj:`str`):      List of trace names\n"
    "        traces (:obj:`list` of :obj:`ndarray`):  2D numpy array of traces with\n"
    "                                                 same index as labels:\n"
    "                                                 dataObject.traces[index]\n"
    "    ";

inline constexpr const char* kMultiRegionDataReturnDoc =
    "\n"
    "    Hyperspectral multiregion point map(s) returned by .getVeskData() for\n"
    "    multiregion 3D point mapping datablocks.\n"
    "\n"
    "    Maps are _not_ guaranteed to be perfect XY grids and so spectral coordinates\n"
    "    cannot be specfied by origin point and dx/dy values as in :class:ImageDataReturn.\n"
    "\n"
    "    Attributes:\n"
    "        description (str):  Description of the data object attributes\n"
    "        dimension (str):    Datablock dimensions (2D or 3D)\n"
    "        dataType (str):     The datablock type (AB, TR, SSC, etc)\n"
    "        derivative (str):   Datablock derivative (NONE, 1DER, 2DER, NDER)\n"
    "        parameters (dict):  Dictionary of relevant data/sample/instrument parameters\n"
    "        x (:obj:`ndarray`): 1D numpy array of spectrum x coordinates\n"
    "        minY (float):       Minimum y value\n"
    "        maxY (float):       Maximum y value\n"
    "        regions (:obj:`list` of :obj:`Region`): List of regions.\n"
    "                            Each region is a :class:Region containing\n"
    "        regions[0].title (str):     description of region\n"
    "        regions[0].mapX (ndarray):  1D numpy array of X map coordinates\n"
    "        regions[0].mapY (ndarray):  1D numpy array of Y map coordinates\n"
    "        regions[0].start_time (ndarray):   timestamps of spectrum acquisition array\n"
    "        regions[0].spectra (ndarray):   2D numpy array of of spectra in the region:\n"
    "                                        returnedObject.regions[region index].spectra[row]\n"
    "    ";

inline constexpr const char* kRegionDoc =
    "\n"
    "    Returned as part of a :class:MultiRegionDataReturn.\n"
    "\n"
    "    Attributes:\n"
    "        title (str):        description of region\n"
    "        mapX (ndarray):     1D numpy array of X map coordinates\n"
    "        mapY (ndarray):     1D numpy array of Y map coordinates\n"
    "        start_time (ndarray):  timestamps of spectrum acquisition array\n"
    "        spectra (ndarray):  2D numpy array of of spectra in the region:\n"
    "                            spectra[row]\n"
    "    ";

inline constexpr const char* kMultiRegionTRCDataReturnDoc =
    "\n"
    "    Hyperspectral multiregion point map(s) returned by .getVeskData() for\n"
    "    multiregion 3D point mapping datablocks.\n"
    "\n"
    "    Maps are _not_ guaranteed to be perfect XY grids and so spectral coordinates\n"
    "    cannot be specfied by origin point and dx/dy values as in :class:ImageDataReturn.\n"
    "\n"
    "    Attributes:\n"
    "        description (str):  Description of the data object attributes\n"
    "        dimension (str):    Datablock dimensions (2D or 3D)\n"
    "        dataType (str):     The datablock type (AB, TR, SSC, etc)\n"
    "        derivative (str):   Datablock derivative (NONE, 1DER, 2DER, NDER)\n"
    "        parameters (dict):  Dictionary of relevant data/sample/instrument parameters\n"
    "        x (:obj:`ndarray`): 1D numpy array of spectrum x coordinates\n"
    "        minY (float):       Minimum y value\n"
    "        maxY (float):       Maximum y value\n"
    "        labels (:obj:`list` of :obj:`str`):      List of trace block names\n"
    "        regions (:obj:`list` of :obj:`Region`): List of regions.\n"
    "                            Each region is a :class:Region containing\n"
    "        regions[0].title (str):     description of region\n"
    "        regions[0].mapX (ndarray):  1D numpy array of X map coordinates\n"
    "        regions[0].mapY (ndarray):  1D numpy array of Y map coordinates\n"
    "        regions[0].spectra (ndarray):   2D numpy array of traces in the region:\n"
    "                                        returnedObject.regions[region index].spectra[row]\n"
    "                                        As with :class:ImageTRCDataReturn, the index of the\n"
    "                                        resulting array corresponds to the .labels index\n"
    "    ";

inline constexpr const char* kSingleDataReturnAppended = "\ty data points (.y)\n";

inline constexpr const char* kImageDataReturnAppended =
    "\tx mapping coordinates (.mapX)\n"
    "\ty mapping coordinates (.mapY)\n"
    "\t3D numpy array containing the spectrum associated with the x and y mapping coordinates "
    "(.spectra)\n"
    "\t\t\tMap x\n"
    "\t\t  x1  x2  x3  x4...xn\n"
    "Map y\t\ty1\n"
    "\t\ty2\n"
    "\t\ty3\n"
    "\t\t.\n"
    "\t\t.\n"
    "\t\tyn\n"
    "\t\n"
    "\taccess the spectrum with returnedObject.spectra[row][column]\n";

inline constexpr const char* kImageTRCDataReturnAppended =
    "\tx mapping coordinates (.mapX)\n"
    "\ty mapping coordinates (.mapY)\n"
    "\ta list containing the names of the trace blocks (.labels)\n"
    "\t3D numpy array containing the trace values associated with the x and y mapping coordinates "
    "(.traces)\n"
    "\t\t\tMap x\n"
    "\t\t  x1  x2  x3  x4...xn\n"
    "Map y\t\ty1\n"
    "\t\ty2\n"
    "\t\ty3\n"
    "\t\t.\n"
    "\t\t.\n"
    "\t\tyn\n"
    "\t\n"
    "\taccess the trace maps with returnedObject.traces[:,:,label index]\n";

inline constexpr const char* kTimeResolvedDataReturnAppended =
    "\tz (time) axis coordinates (.z)\n"
    "\t2D numpy array containing the spectrum associated with the z time coordinates (.spectra)\n"
    "\taccess the spectrum with returnedObject.spectra[z]\n";

inline constexpr const char* kTimeResolvedTRCDataReturnAppended =
    "\ta list containing the names of the trace blocks (.labels)\n"
    "\t2D numpy array containing trace values (.traces)\n"
    "\taccess the trace with returnedObject.traces[label index]\n";

inline constexpr const char* kMultiRegionDataReturnAppended =
    "\tlist of regions (.regions)\n"
    "\n"
    "\teach region is a Region object containing:\n"
    "\t\tdescription of region (title)\n"
    "\t\tx mapping coordinates array (mapX)\n"
    "\t\ty mapping coordinates array (mapY)\n"
    "\t\ttimestamps of spectrum acquisition array (start_time)\n"
    "\t\t2D array containing spectra in the region (spectra)\n"
    "\t\taccess a spectrum with\n"
    "\t\t\treturnedObject.regions[region index].spectra[row]";

inline constexpr const char* kMultiRegionTRCDataReturnAppended =
    "\ta list containing the names of the trace blocks (.labels)\n"
    "\tlist of regions (.regions)\n"
    "\n"
    "\teach region is a Region object containing:\n"
    "\t\tdescription of region (title)\n"
    "\t\tx mapping coordinates array (mapX)\n"
    "\t\ty mapping coordinates array (mapY)\n"
    "\t\t2D array containing traces in the region (spectra)\n"
    "\t\taccess the traces for a position with\n"
    "\t\t\treturnedObject.regions[region index].spectra[row]";

} // namespace vesk::py::texts
