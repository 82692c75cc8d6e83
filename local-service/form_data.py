"""Reads multipart/form-data request bodies.

The body is read from the connection in bounded chunks, exactly as many bytes
as the Content-Length announced, and fed to python3-multipart's streaming
parser; text fields are kept in memory (with a size limit) and file contents
go straight to disk, so an upload of any size needs only a few chunks of
memory. The parser finds the parts; the names in a part's
Content-Disposition are read here, because the agent writes them between
quotes as they are, without escaping.
"""

import logging

from multipart.multipart import MultipartParseError, MultipartParser

CHUNK_SIZE = 64 * 1024
MAX_HEADER_BLOCK = 16 * 1024
MAX_TEXT_VALUE = 64 * 1024

# The parser logs every refused body as a warning; the service says why in
# its own log line.
logging.getLogger("multipart").addHandler(logging.NullHandler())
logging.getLogger("multipart").propagate = False


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


def _part_from_headers(headers):
    disposition = headers.get(b"content-disposition", b"").strip()
    content_type = headers.get(b"content-type", b"text/plain").strip().decode("latin-1")
    if not disposition.lower().startswith(b"form-data"):
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


class _Form:
    """The parser's callbacks: the parts in order, file contents on disk."""

    def __init__(self, boundary, file_path_for):
        self.delimiter = b"\r\n--" + boundary
        self.file_path_for = file_path_for
        self.parts = []
        self.ended = False
        self.sink = None

    def callbacks(self):
        return {"on_" + name: getattr(self, name) for name in (
            "part_begin", "header_field", "header_value", "header_end", "headers_finished",
            "part_data", "part_end", "end")}

    def part_begin(self):
        self.headers, self.field, self.value, self.header_bytes = {}, b"", b"", 0

    def header_field(self, data, start, end):
        self.field += self.header_piece(data, start, end)

    def header_value(self, data, start, end):
        self.value += self.header_piece(data, start, end)

    def header_piece(self, data, start, end):
        self.header_bytes += end - start
        if self.header_bytes > MAX_HEADER_BLOCK:
            raise FormError("a part's headers are too long")
        return data[start:end]

    def header_end(self):
        self.headers[self.field.lower()] = self.value
        self.field, self.value = b"", b""

    def headers_finished(self):
        self.part = _part_from_headers(self.headers)
        self.tail = b""
        if self.part.is_file:
            self.part.path = self.file_path_for(sum(p.is_file for p in self.parts) + 1)
            self.sink = open(self.part.path, "wb")

    def part_data(self, data, start, end):
        piece = data[start:end]
        # The parser takes a delimiter followed by neither CRLF nor "--" for
        # content; the body is broken.
        if self.delimiter in self.tail + piece:
            raise FormError("garbage after a multipart boundary")
        self.tail = (self.tail + piece)[-len(self.delimiter):]
        if self.sink:
            self.sink.write(piece)
        elif len(self.part.value) + len(piece) > MAX_TEXT_VALUE:
            raise FormError("a text field is too long")
        else:
            self.part.value += piece
        self.part.size += len(piece)

    def part_end(self):
        self.close()
        self.parts.append(self.part)

    def end(self):
        self.ended = True

    def close(self):
        if self.sink:
            self.sink.close()
            self.sink = None


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
    form = _Form(boundary, file_path_for)
    parser = MultipartParser(boundary, form.callbacks())
    try:
        while not form.ended:
            data = reader.read_chunk()
            if not data:
                raise FormError("the body ended without its closing boundary")
            parser.write(data)
    except MultipartParseError as error:
        raise FormError("the body is not well-formed multipart/form-data (%s)" % error)
    finally:
        form.close()
    reader.drain()  # an epilogue is allowed and ignored
    return form.parts
