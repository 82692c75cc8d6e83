"""Streaming reader for multipart/form-data request bodies.

The body is read from the connection in bounded chunks, exactly as many bytes
as the Content-Length announced; text fields are kept in memory (with a size
limit) and file contents go straight to disk, so an upload of any size needs
only a few chunks of memory.
"""

CHUNK_SIZE = 64 * 1024
MAX_HEADER_BLOCK = 16 * 1024
MAX_TEXT_VALUE = 64 * 1024
MAX_PREAMBLE = 64 * 1024


class FormError(Exception):
    """The body is not a well-formed multipart/form-data body."""


class FormPart:
    """One part of the body: a text field (value) or a file field (path)."""

    def __init__(self, name, filename, content_type):
        self.name = name  # bytes, as sent
        self.filename = filename  # bytes, or None for a text field
        self.content_type = content_type  # str
        self.value = b""  # text fields only
        self.path = None  # file fields only: where the content was stored
        self.size = 0

    @property
    def is_file(self):
        return self.filename is not None


def boundary_from_content_type(content_type):
    """Returns the boundary (bytes) of a multipart/form-data Content-Type."""
    pieces = [p.strip() for p in content_type.split(";")]
    if not pieces or pieces[0].lower() != "multipart/form-data":
        raise FormError("the request is not multipart/form-data")
    for piece in pieces[1:]:
        key, sep, value = piece.partition("=")
        if sep and key.strip().lower() == "boundary":
            value = value.strip()
            if len(value) >= 2 and value[0] == value[-1] == '"':
                value = value[1:-1]
            if not 1 <= len(value) <= 200:
                raise FormError("the multipart boundary has a bad length")
            return value.encode("latin-1")
    raise FormError("the multipart Content-Type names no boundary")


def _quoted_param(segment, key):
    """The value of key="..." in a piece of a Content-Disposition line.

    Names are written between quotes without any escaping, so a value runs to
    the last quote of its segment.
    """
    marker = key + b'="'
    start = segment.find(marker)
    if start < 0:
        return None
    start += len(marker)
    end = segment.rfind(b'"')
    if end < start:
        raise FormError("a Content-Disposition parameter lacks its closing quote")
    return segment[start:end]


def _parse_part_headers(block):
    disposition = None
    content_type = "text/plain"
    for line in block.split(b"\r\n"):
        key, sep, value = line.partition(b":")
        if not sep:
            raise FormError("a part header line has no colon")
        key = key.strip().lower()
        value = value.strip()
        if key == b"content-disposition":
            disposition = value
        elif key == b"content-type":
            content_type = value.decode("latin-1")
    if disposition is None or not disposition.lower().startswith(b"form-data"):
        raise FormError("a part is not form-data")
    # Search past the "form-data" token so that a name holding 'filename="'
    # cannot be mistaken for the parameter.
    params = disposition[len(b"form-data"):]
    file_marker = params.find(b'; filename="')
    if file_marker < 0:
        file_marker = params.find(b';filename="')
    if file_marker >= 0:
        name = _quoted_param(params[:file_marker], b"name")
        filename = _quoted_param(params[file_marker:], b"filename")
    else:
        name = _quoted_param(params, b"name")
        filename = None
    if name is None:
        raise FormError("a part has no field name")
    return FormPart(name, filename, content_type)


class _BodyReader:
    """Reads exactly `length` bytes from `stream`, in chunks."""

    def __init__(self, stream, length):
        self.stream = stream
        self.remaining = length

    def read_chunk(self):
        if self.remaining <= 0:
            return b""
        data = self.stream.read(min(CHUNK_SIZE, self.remaining))
        if not data:
            raise FormError(
                "the body ended %d bytes before its announced length" % self.remaining)
        self.remaining -= len(data)
        return data

    def drain(self):
        while self.read_chunk():
            pass


def parse_form(stream, length, boundary, file_path_for):
    """Reads a whole body and returns its parts in order.

    file_path_for(index) gives the path where the content of the index-th
    file part (1-based) is stored. On a malformed body or a failed store the
    rest of the body is still read, so that a client that writes its whole
    body before it reads the answer gets to see the answer.
    """
    reader = _BodyReader(stream, length)
    try:
        return _parse_parts(reader, boundary, file_path_for)
    except (ConnectionError, TimeoutError):
        raise
    except (FormError, OSError):
        try:
            reader.drain()
        except (FormError, OSError):
            pass
        raise


def _parse_parts(reader, boundary, file_path_for):
    delimiter = b"\r\n--" + boundary
    keep = len(delimiter) + 1
    # The first delimiter has no line break before it; pretend it has one.
    buffer = bytearray(b"\r\n")
    parts = []
    files = 0

    def fill():
        data = reader.read_chunk()
        if not data:
            raise FormError("the body ended without its closing boundary")
        buffer.extend(data)

    # Preamble: anything before the first delimiter is ignored.
    while True:
        at = buffer.find(delimiter)
        if at >= 0:
            del buffer[:at + len(delimiter)]
            break
        if len(buffer) > MAX_PREAMBLE:
            raise FormError("no multipart boundary at the start of the body")
        fill()

    while True:
        # After a delimiter: "--" closes the body, else padding and CRLF.
        while len(buffer) < 2:
            fill()
        if buffer[:2] == b"--":
            reader.drain()  # an epilogue is allowed and ignored
            return parts
        while True:
            line_end = buffer.find(b"\r\n")
            if line_end >= 0:
                break
            if len(buffer) > 256:
                raise FormError("garbage after a multipart boundary")
            fill()
        if buffer[:line_end].strip(b" \t"):
            raise FormError("garbage after a multipart boundary")
        del buffer[:line_end + 2]

        while True:
            header_end = buffer.find(b"\r\n\r\n")
            if header_end >= 0:
                break
            if len(buffer) > MAX_HEADER_BLOCK:
                raise FormError("a part's headers are too long")
            fill()
        part = _parse_part_headers(bytes(buffer[:header_end]))
        del buffer[:header_end + 4]

        sink = None
        if part.is_file:
            files += 1
            part.path = file_path_for(files)
            sink = open(part.path, "wb")
        try:
            while True:
                at = buffer.find(delimiter)
                ready = at if at >= 0 else max(0, len(buffer) - keep)
                if ready:
                    if sink:
                        sink.write(buffer[:ready])
                    else:
                        if len(part.value) + ready > MAX_TEXT_VALUE:
                            raise FormError("a text field is too long")
                        part.value += bytes(buffer[:ready])
                    part.size += ready
                    del buffer[:ready]
                if at >= 0:
                    del buffer[:len(delimiter)]
                    break
                fill()
        finally:
            if sink:
                sink.close()
        parts.append(part)
