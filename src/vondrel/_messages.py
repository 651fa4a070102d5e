"""The texts of errors that more than one module raises, each defined once
here (a leaf: it imports nothing of the package).  A text that one function
raises for everyone lives with that function instead: the byte order in
vondrel._layout.order, the sample format code in
vondrel._layout.check_sample_format, ns= and sample_format= in
vondrel._registry.check_overrides."""

# A read() or readinto() that returns None: a non-blocking stream with no
# data now (BlockingIOError; vondrel._sources.read_some).  The native readers
# raise the same text (common/errors.hpp, msg_no_data).
NO_DATA = "The stream has no data ready; use a blocking stream."
# dtype= of the readers: the samples as float32, or as the file stores them.
DTYPE = "dtype must be 'float32' or 'stored', not {dtype!r}"
# What the writers take.
NOT_A_GATHER = "data must be a Gather or a (headers, samples) pair, not {kind}"
# Headers and samples given apart that do not pair up.
HEADER_ROWS = "{rows} header rows for {n} traces"
# A trace that the data end inside, found by a reader that knows the format
# and byte order (`what`, e.g. "SU little-endian"); where the reader saw the
# data end, DATA_END says how far into the trace.  The native stream reader
# raises the two as one text (common/errors.hpp, msg_cut_short).
CUT_SHORT = "{name}: {what}: trace {index} at byte offset {offset} is cut short"
DATA_END = ": the data end {into} bytes into it"
# Samples that float32 rounded as they were read (32- and 64-bit integers,
# 64-bit floats): a warning (vondrel.PrecisionWarning), raised by the native
# stream reader as common/errors.hpp's msg_rounded.
ROUNDED = ('{name}: some samples of sample format {code} were rounded as they were read as float32; '
           'vondrel.read and File.read keep every value with dtype="stored"')
# A header field name that the trace header of a format (its title,
# TraceFormat.title of vondrel._registry's formats) does not have.
NO_FIELD = "no header field {name!r} in a {title} trace header"
# A sample that the file's sample format cannot store (`what`, e.g. "IBM
# float"), counted as the caller counts traces.
NO_FORM = "trace {trace}: sample {sample} ({value}) has no {what} form"
# A value that a header field's type cannot hold (`kind`: the NumPy type's name).
CANNOT_HOLD = "header field {name} cannot hold {value} ({kind})"
# A format name that is none of the registry's (`choices`: the names, quoted).
FORMAT_CHOICE = "format must be one of {choices}, not {name!r}"
# Any use of an open-file handle after close().
CLOSED = "the file handle is closed"
