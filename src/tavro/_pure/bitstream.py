from io import BlockingIOError
from time import sleep

from tavro._pure._args import native_errors as _native_errors
import time as _time


def _below_one(unit):
    """Whether an encoderunit would make the write loop run for ever (an integer below 1)."""
    if isinstance(unit, int) or hasattr(type(unit), "__index__"):
        return unit < 1
    return False  # the loop reports what is wrong with it


class RestreamedBytesIO(object):
    @_native_errors
    def __init__(self, /, substream, decoder, decoderunit, encoder, encoderunit):
        self.substream = substream
        self.encoder = encoder
        self.encoderunit = encoderunit
        self.decoder = decoder
        self.decoderunit = decoderunit
        self.rbuffer = b""
        self.wbuffer = b""
        self.sincereadwritten = 0

    @_native_errors
    def read(self, /, count=None):
        if count is None:
            while True:
                data = self.substream.read(self.decoderunit)
                if data is None or len(data) == 0:
                    break
                self.rbuffer = self.rbuffer + self.decoder(data)
            data = self.rbuffer
            self.rbuffer = b""
            self.sincereadwritten += len(data)
            return data
        if count < 0:
            raise ValueError("count cannot be negative")
        while len(self.rbuffer) < count:
            data = self.substream.read(self.decoderunit)
            if data is None or len(data) == 0:
                return b""
            self.rbuffer = self.rbuffer + self.decoder(data)
        data = self.rbuffer[:count]
        self.rbuffer = self.rbuffer[count:]
        self.sincereadwritten += count
        return data

    @_native_errors
    def write(self, /, data):
        # An encoderunit below 1 would keep the loop below going for ever.
        if _below_one(self.encoderunit):
            raise ValueError("encoderunit must be at least 1")
        self.wbuffer = self.wbuffer + data
        datalen = len(data)
        while True:
            wbuffer = self.wbuffer
            unit = self.encoderunit
            if _below_one(unit):
                raise ValueError("encoderunit must be at least 1")
            if not len(wbuffer) >= unit:
                break
            data = wbuffer[:unit]
            self.wbuffer = self.wbuffer[self.encoderunit:]
            self.substream.write(self.encoder(data))
        self.sincereadwritten += datalen
        return datalen

    @_native_errors
    def close(self, /):
        if len(self.rbuffer) != 0:
            raise ValueError("closing stream but %d unread bytes remain, %d is decoded unit"
                             % (len(self.rbuffer), self.decoderunit))
        elif len(self.wbuffer) != 0:
            raise ValueError("closing stream but %d unwritten bytes remain, %d is encoded unit"
                             % (len(self.wbuffer), self.encoderunit))

    @_native_errors
    def seek(self, /, at, whence=0):
        raise IOError()

    @_native_errors
    def seekable(self, /):
        return False

    @_native_errors
    def tell(self, /):
        """WARNING: tell is correct only on read-only and write-only instances."""
        return self.sincereadwritten

    @_native_errors
    def tellable(self, /):
        return True


class RebufferedBytesIO(object):
    @_native_errors
    def __init__(self, /, substream, tailcutoff=None):
        self.substream = substream
        self.offset = 0
        self.rwbuffer = b""
        self.moved = 0
        self.tailcutoff = tailcutoff

    @_native_errors
    def read(self, /, count=None):
        if count is None:
            raise ValueError("count must be integer, reading until EOF not supported")
        if count < 0:
            raise ValueError("count cannot be negative")
        startsat = self.offset
        endsat = startsat + count
        if startsat < self.moved:
            raise IOError("could not read because tail was cut off")
        empty_since = None  # the start of a run of empty answers
        while self.moved + len(self.rwbuffer) < endsat:
            try:
                newdata = self.substream.read(131072)
            except BlockingIOError:
                newdata = None
            if not newdata:
                if newdata is None:
                    empty_since = None
                else:
                    empty_since = _waited_for(self, empty_since, "read", count, startsat)
                sleep(0)
                continue
            empty_since = None
            self.rwbuffer = self.rwbuffer + newdata
        data = self.rwbuffer[startsat - self.moved:endsat - self.moved]
        self.offset += count
        _trim(self)
        if len(data) < count:
            raise IOError("could not read enough bytes, something went wrong")
        return data

    @_native_errors
    def write(self, /, data):
        startsat = self.offset
        endsat = startsat + len(data)
        # Before the window start the splice below would put the data at a
        # wrong place: refused, before and after the loop (which runs code).
        if startsat < self.moved:
            raise IOError("could not write because tail was cut off")
        empty_since = None
        while self.moved + len(self.rwbuffer) < startsat:
            newdata = self.substream.read(131072)
            self.rwbuffer = self.rwbuffer + newdata
            if not newdata:
                empty_since = _waited_for(self, empty_since, "write", len(data), startsat)
                sleep(0)
            else:
                empty_since = None
        if startsat < self.moved:
            raise IOError("could not write because tail was cut off")
        self.rwbuffer = (self.rwbuffer[:startsat - self.moved] + data
                         + self.rwbuffer[endsat - self.moved:])
        self.offset = endsat
        _trim(self)
        return len(data)

    @_native_errors
    def seek(self, /, at, whence=0):
        if whence == 0:
            self.offset = at
            return self.offset
        elif whence == 1:
            self.offset += at
            return self.offset
        else:
            raise ValueError("this class seeks only with whence: 0 and 1 (excluded 2)")

    @_native_errors
    def seekable(self, /):
        return True

    @_native_errors
    def tell(self, /):
        return self.offset

    @_native_errors
    def tellable(self, /):
        return True

    @_native_errors
    def cachedfrom(self, /):
        return self.moved

    @_native_errors
    def cachedto(self, /):
        return self.moved + len(self.rwbuffer)


# A substream that keeps returning b"" has most likely ended: waiting for it
# ends after this many seconds of nothing but empty answers (None waits for
# ever; None and BlockingIOError mean "not ready yet" and are always waited for).
RebufferedBytesIO.emptytimeout = 1.0


def _trim(stream):
    """The trimming rule at the end of read and write."""
    if stream.tailcutoff is None:
        return
    if stream.moved < stream.offset - stream.tailcutoff:
        removed = stream.offset - stream.tailcutoff - stream.moved
        stream.moved += removed
        stream.rwbuffer = stream.rwbuffer[removed:]


def _waited_for(stream, since, doing, count, offset):
    """Notes one more empty answer in a run that began at `since` (None: this one begins it) and
    returns the run's start; raises once the run has lasted stream.emptytimeout seconds."""
    limit = stream.emptytimeout
    if limit is None:
        return since
    now = _time.monotonic()
    if since is None:
        since = now
    if now - since >= float(limit):
        raise IOError("could not %s %s byte%s at offset %s because substream returned no data for %r seconds"
                      % (doing, count, "" if count == 1 else "s", offset, limit))
    return since
