"""Compact pure-Python rendition of tavro.lib.bitstream, for the benchmarks.

Same contract as the native module (the faults it mends included); the window
is a plain bytes object, re-sliced on every trim.
"""

from io import BlockingIOError
from time import monotonic, sleep

CHUNK = 131072


class RestreamedBytesIO(object):
    def __init__(self, substream, decoder, decoderunit, encoder, encoderunit):
        self.substream = substream
        self.encoder = encoder
        self.encoderunit = encoderunit
        self.decoder = decoder
        self.decoderunit = decoderunit
        self.rbuffer = b""
        self.wbuffer = b""
        self.sincereadwritten = 0

    def read(self, count=None):
        if count is None:
            while True:
                data = self.substream.read(self.decoderunit)
                if data is None or len(data) == 0:
                    break
                self.rbuffer = self.rbuffer + self.decoder(data)
            data, self.rbuffer = self.rbuffer, b""
            self.sincereadwritten += len(data)
            return data
        if count < 0:
            raise ValueError("count cannot be negative")
        while len(self.rbuffer) < count:
            data = self.substream.read(self.decoderunit)
            if data is None or len(data) == 0:
                return b""
            self.rbuffer = self.rbuffer + self.decoder(data)
        data, self.rbuffer = self.rbuffer[:count], self.rbuffer[count:]
        self.sincereadwritten += count
        return data

    def write(self, data):
        if self.encoderunit < 1:
            raise ValueError("encoderunit must be at least 1")
        self.wbuffer = self.wbuffer + data
        datalen = len(data)
        while len(self.wbuffer) >= self.encoderunit:
            data, self.wbuffer = self.wbuffer[:self.encoderunit], self.wbuffer[self.encoderunit:]
            self.substream.write(self.encoder(data))
        self.sincereadwritten += datalen
        return datalen

    def close(self):
        if len(self.rbuffer):
            raise ValueError("closing stream but %d unread bytes remain, %d is decoded unit" % (len(self.rbuffer), self.decoderunit))
        if len(self.wbuffer):
            raise ValueError("closing stream but %d unwritten bytes remain, %d is encoded unit" % (len(self.wbuffer), self.encoderunit))

    def seek(self, at, whence=0):
        raise IOError()

    def seekable(self):
        return False

    def tell(self):
        """WARNING: tell is correct only on read-only and write-only instances."""
        return self.sincereadwritten

    def tellable(self):
        return True


class RebufferedBytesIO(object):
    emptytimeout = 1.0

    def __init__(self, substream, tailcutoff=None):
        self.substream = substream
        self.offset = 0
        self.rwbuffer = b""
        self.moved = 0
        self.tailcutoff = tailcutoff

    def _empty(self, since, doing, count, offset):
        if self.emptytimeout is not None:
            since = monotonic() if since is None else since
            if monotonic() - since >= self.emptytimeout:
                raise IOError("could not %s %d byte%s at offset %d because substream returned no data for %r seconds"
                              % (doing, count, "" if count == 1 else "s", offset, self.emptytimeout))
        return since

    def read(self, count=None):
        if count is None:
            raise ValueError("count must be integer, reading until EOF not supported")
        if count < 0:
            raise ValueError("count cannot be negative")
        startsat, endsat = self.offset, self.offset + count
        if startsat < self.moved:
            raise IOError("could not read because tail was cut off")
        since = None
        while self.moved + len(self.rwbuffer) < endsat:
            try:
                newdata = self.substream.read(CHUNK)
            except BlockingIOError:
                newdata = None
            if newdata:
                since = None
                self.rwbuffer = self.rwbuffer + newdata
                continue
            since = None if newdata is None else self._empty(since, "read", count, startsat)
            sleep(0)
        data = self.rwbuffer[startsat - self.moved:endsat - self.moved]
        self.offset += count
        self._trim()
        if len(data) < count:
            raise IOError("could not read enough bytes, something went wrong")
        return data

    def write(self, data):
        startsat, endsat = self.offset, self.offset + len(data)
        if startsat < self.moved:
            raise IOError("could not write because tail was cut off")
        since = None
        while self.moved + len(self.rwbuffer) < startsat:
            newdata = self.substream.read(CHUNK)
            self.rwbuffer = self.rwbuffer + newdata
            if not newdata:
                since = self._empty(since, "write", len(data), startsat)
                sleep(0)
            else:
                since = None
        self.rwbuffer = self.rwbuffer[:startsat - self.moved] + data + self.rwbuffer[endsat - self.moved:]
        self.offset = endsat
        self._trim()
        return len(data)

    def _trim(self):
        if self.tailcutoff is not None and self.moved < self.offset - self.tailcutoff:
            removed = self.offset - self.tailcutoff - self.moved
            self.moved += removed
            self.rwbuffer = self.rwbuffer[removed:]

    def seek(self, at, whence=0):
        if whence == 0:
            self.offset = at
        elif whence == 1:
            self.offset += at
        else:
            raise ValueError("this class seeks only with whence: 0 and 1 (excluded 2)")
        return self.offset

    def seekable(self):
        return True

    def tell(self):
        return self.offset

    def tellable(self):
        return True

    def cachedfrom(self):
        return self.moved

    def cachedto(self):
        return self.moved + len(self.rwbuffer)
