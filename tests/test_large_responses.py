"""A response too large to hold whole is read a record at a time, with the same records and
the same errors as one read whole (apart from what only the end of it can tell)."""

import io
import json
import sys
from pathlib import Path

import pytest

from tavimo import cli, results
from tavimo.errors import UserError

SAMPLE_PATH = Path(sys.modules["tavimo"].__file__).with_name("data") / "sample_results.json"

DOCUMENTS = [
    # well formed: a bare array, an object with "data" among other members, empty ones,
    # values at the edges of what json.loads takes
    '[{"a": [1, 2, {"b": "c"}]}, 12345, "x\\n", null, 1.5e3, -0.25E-2, true]',
    '{"meta": {"x": [1, 2]}, "data": [{"a": 1}, {"b": 2}], "more": 3}',
    '{"data": 5, "data": [1, 22]}',  # the last "data" counts
    '{"data": []}',
    "[]",
    "[1,2]   \n",
    "[NaN, Infinity, -Infinity, -1e400]",
    "[123456789012345678901234567890, 1e5]",
    '{"x": "\\ud800", "data": ["\\u00e9t\\u00e9", "東京", "Kraków"]}',
    # nothing to show
    '{"data": 5}',
    '{"a": 1}',
    "{}",
    "5",
    '"text"',
    "null",
    # faults at every place, each worded and placed as json.loads does
    "[1,]",
    '{"data": [1, 2],}',
    "[1,  ]",
    '{"data": [1,\n 2,\n ]\n}',
    "[1 2]",
    '{"a" 1}',
    "{1: 2}",
    "[1] x",
    '{"data": [1]} {}',
    '{"a": 1 "b": 2}',
    '{"data": [1] "x": 2}',
    '{"data": [1,\n 2 3]}',
    '[\n\n  {"a": tru}]',
    "[1, 2",
    '{"data": [1, 2]',
    '[{"a": "unterminated]',
    "[1, 2, 3",
    "  ",
    "\n\n",
    "[01]",
]


def read(raw, stream_above, chunk, monkeypatch):
    """What read_source makes of RAW: ("records", [...]) or ("error", its text)."""
    monkeypatch.setattr(results, "STREAM_ABOVE", stream_above)
    monkeypatch.setattr(results, "CHUNK", chunk)
    try:
        return "records", list(results.read_source("r.json", io.BytesIO(raw)))
    except UserError as exc:
        return "error", str(exc)


@pytest.mark.parametrize("document", DOCUMENTS)
def test_streamed_reading_gives_what_reading_whole_gives(document, monkeypatch):
    encodings = ["utf-8", "utf-8-sig", "utf-16", "utf-32"] if document.isascii() else ["utf-8"]
    for encoding in encodings:
        raw = document.encode(encoding)
        whole = read(raw, 1 << 30, 1, monkeypatch)
        for stream_above, chunk in [(3, 1), (4, 2), (5, 3), (8, 7), (16, 64)]:
            streamed = read(raw, stream_above, chunk, monkeypatch)
            assert repr(streamed) == repr(whole), (encoding, stream_above, chunk)


def test_a_regular_file_is_read_as_a_stream_is(tmp_path, monkeypatch):
    """A regular file is looked through for its first line and then read again in one
    piece: the same records and errors as a stream of the same bytes, from where the file
    stood (not from its start), at every size of the blocks and of a document read whole."""
    path = tmp_path / "r.json"
    before = b'["not these"]\n'
    monkeypatch.setattr(results, "CHUNK", 3)
    cases = [doc.encode() for doc in DOCUMENTS] + [
        b'{"data": [1, 2]}\n\n  \n',
        b"\n \n" + b'{"route": [1]}\n' * 3,
        b"[\n  1,\n  2\n]\n",
        b" \n" * 10 + b"[1]\n[2]",
    ]
    for raw in cases:
        path.write_bytes(before + raw)
        for head_block, stream_above in [(2, 5), (7, 1 << 20), (1 << 16, 9), (1 << 16, 1 << 30)]:
            monkeypatch.setattr(results, "HEAD_BLOCK", head_block)
            monkeypatch.setattr(results, "STREAM_ABOVE", stream_above)
            streamed = read(raw, stream_above, 3, monkeypatch)
            with open(path, "rb") as file:
                file.seek(len(before))
                try:
                    from_file = "records", list(results.read_source("r.json", file))
                except UserError as exc:
                    from_file = "error", str(exc)
            assert repr(from_file) == repr(streamed), (raw, head_block, stream_above)


def test_a_one_line_document_in_a_regular_file_is_read_in_one_piece(tmp_path):
    """What is read from a regular file is kept once: the blocks looked through for the
    first line are let go, and the document is read again whole (not joined from them)."""
    path = tmp_path / "r.json"
    path.write_bytes(json.dumps({"data": [{"route": []}] * 50_000}).encode())
    kept = []

    class Watched(io.BufferedReader):
        def read(self, size=-1):
            data = super().read(size)
            kept.append(len(data))
            return data

    with Watched(io.FileIO(path)) as file:
        assert len(list(results.read_source("r.json", file))) == 50_000
    size = path.stat().st_size
    assert size > 4 * results.HEAD_BLOCK
    assert kept[-1] == size and max(kept[:-1]) <= results.HEAD_BLOCK


@pytest.mark.parametrize("layout", ["one line", "pretty-printed"])
@pytest.mark.parametrize("line_end", [b"", b"\n"])
def test_a_document_is_not_copied_before_it_is_decoded(layout, line_end, tmp_path, monkeypatch):
    """Telling a document from blank lines or from nothing copies none of it, whether or
    not its last line ends (as most files' do): until it is decoded, reading holds the
    document once, and the blocks looked through for its first line."""
    import tracemalloc

    document = {"data": [{"route": [], "id": "x" * 40}] * 20_000}
    raw = json.dumps(document, indent=1 if layout == "pretty-printed" else None).encode()
    path = tmp_path / "r.json"
    path.write_bytes(raw + line_end)
    # (a document read on after its first line is read into room for the largest one
    # read whole, which tracemalloc counts: room for this one)
    monkeypatch.setattr(results, "STREAM_ABOVE", len(raw) + 100)
    held = []

    def whole_value(line):
        held.append(tracemalloc.get_traced_memory()[1])
        return decode(line)

    decode = results.whole_value
    monkeypatch.setattr(results, "whole_value", whole_value)
    tracemalloc.start()
    try:
        with open(path, "rb") as file:
            assert len(list(results.read_source("r.json", file))) == 20_000
    finally:
        tracemalloc.stop()
    assert max(held) < 1.5 * len(raw) + 4 * results.HEAD_BLOCK, (held, len(raw))


@pytest.mark.parametrize(
    "document",
    [
        {"search_id": "s", "data": [{"id": 1}, {"id": 2}, {"id": 3}]},
        [{"id": 1}, {"id": 2}, {"id": 3}],
        {"route": [], "id": 1},  # one itinerary
    ],
)
@pytest.mark.parametrize("indent", [None, 1])
def test_a_document_lets_go_of_each_record_as_it_is_taken(document, indent, tmp_path):
    """A record of a document read whole is held by no list of the reading once the
    command has it: it is freed when the command is done with it, not at the end."""
    import gc

    path = tmp_path / "r.json"
    path.write_text(json.dumps(document, indent=indent))
    records = iter(results.Reading([str(path)], None))
    taken = [next(records)]
    try:
        assert taken[0]["id"] == 1
        lists = [holder for holder in gc.get_referrers(taken[0]) if isinstance(holder, list)]
        assert lists == [taken]
    finally:
        records.close()  # (the file with it)


EMPTY = ("error", "r.json is empty: expected a flight-search response in JSON")


@pytest.mark.parametrize(
    "raw, expected",
    [
        (b"\x0b\n\x0c \r\n[1]\n[2]", ("records", [1, 2])),  # blank as bytes.strip() has it
        (b"\r\n[1]\n", ("records", [1])),
        (b"\n\n[1]", ("records", [1])),  # the first value on the last line, with no end
        (b" \x0b\x0c\r\n\t", EMPTY),
        (b"", EMPTY),
        (
            b"\x0b[1]\n",
            ("error", "r.json is not valid JSON: Expecting value: line 1 column 1 (char 0)"),
        ),
    ],
)
def test_blank_lines_before_the_first_value(raw, expected, monkeypatch):
    assert read(raw, 1 << 20, 3, monkeypatch) == expected


def test_invalid_utf8_and_a_repeated_data_array(monkeypatch):
    kind, text = read(b'[1, "\xff"]', 3, 2, monkeypatch)
    assert kind == "error" and text.startswith(
        "r.json is not valid JSON: 'utf-8' codec can't decode byte 0xff"
    )
    # json.loads keeps the last "data"; the first is gone by the time the second comes
    assert read(b'{"data": [1], "data": [2]}', 3, 2, monkeypatch) == (
        "error",
        'r.json holds "data" more than once',
    )


def run(monkeypatch, capsys, path, *args, stream_above):
    monkeypatch.setattr(results, "STREAM_ABOVE", stream_above)
    monkeypatch.setattr(results, "CHUNK", 512)
    status = cli.main(["parse", str(path), *args])
    out, err = capsys.readouterr()
    return status, out, err


@pytest.mark.parametrize("format_", ["table", "json", "csv"])
def test_the_command_shows_a_streamed_response_alike(format_, monkeypatch, capsys):
    whole = run(monkeypatch, capsys, SAMPLE_PATH, "-f", format_, stream_above=1 << 30)
    streamed = run(monkeypatch, capsys, SAMPLE_PATH, "-f", format_, stream_above=100)
    assert streamed == whole and whole[0] == 0


def test_a_fault_late_in_a_streamed_response_ends_it(tmp_path, monkeypatch, capsys):
    data = json.loads(SAMPLE_PATH.read_text(encoding="utf-8"))["data"]
    path = tmp_path / "r.json"
    text = json.dumps({"data": data}, indent=1)
    path.write_text(text[:-3] + "]]}", encoding="utf-8")  # the array closed twice
    status, out, err = run(monkeypatch, capsys, path, stream_above=100)
    assert status == 1 and out.count("Itinerary ") == len(data)
    assert err.startswith(
        "tavimo: {} is not valid JSON: Expecting ',' delimiter: line ".format(path)
    )
    # read whole, the same fault shows nothing but the error
    assert run(monkeypatch, capsys, path, stream_above=1 << 30) == (1, "", err)


def test_json_lines_stay_lines_at_any_size(monkeypatch):
    """JSON Lines are told from a document by their first line (within the first
    STREAM_ABOVE bytes) whatever the source's size; a document is then read whole or
    streamed by its size."""
    lines = b'\n{"data": [1, 2]}\n[3]\n\n{"route": []}\n'
    pretty = b'{\n "data": [\n  1,\n  2\n ]\n}\n'
    for stream_above in (20, 1 << 30):
        assert read(lines, stream_above, 2, monkeypatch) == ("records", [1, 2, 3, {"route": []}])
        assert read(pretty, stream_above, 2, monkeypatch) == ("records", [1, 2])


def test_json_lines_are_not_read_far_ahead(monkeypatch):
    """The first record of JSON Lines comes after reading little more than its line, however
    large the stream: the rest is read a line at a time (constant memory), while a
    document's blank start, a pretty-printed document and a one-line document read whole
    are still told apart across the blocks in which the start is read."""
    monkeypatch.setattr(results, "STREAM_ABOVE", 1 << 20)
    monkeypatch.setattr(results, "HEAD_BLOCK", 7)
    line = json.dumps({"route": [{"flyFrom": "PRG"}] * 20}).encode() + b"\n"
    stream = io.BytesIO(line * 20_000)  # several times STREAM_ABOVE
    records = results.read_source("r.jsonl", stream)
    assert next(records) == json.loads(line)
    assert stream.tell() <= 2 * len(line)
    assert sum(1 for _ in records) == 19_999
    # Blank lines longer than a block before the first value; a document on one line and
    # then blank lines; a pretty-printed one; nothing but blanks.
    for raw, expected in [
        (b" \n" * 10 + b"[1]\n[2]\n", ("records", [1, 2])),
        (b'{"data": [1, 2]}\n\n  \n', ("records", [1, 2])),
        (b"[\n  1,\n  2\n]\n", ("records", [1, 2])),
        (b"\n \n\t\n", ("error", "r.json is empty: expected a flight-search response in JSON")),
    ]:
        assert read(raw, 1 << 20, 3, monkeypatch) == expected
