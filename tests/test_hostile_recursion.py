"""Hostile callers of tavimo.brasco: i_parser called again from inside a log handler, to a
depth and without end."""

import logging

import pytest

import tavimo.brasco as brasco
from conftest import root_handler
from testkit import rendition
from testkit.hostile import assert_no_leak, both, globals_restored
from testkit.samples import make_record


def records_logged_by_handlers_are_handled():
    """Whether a record logged from inside a handler reaches the handlers: 3.13.4 and later
    drop it (the host's guard against a handler that logs), so a handler cannot call the
    modules' functions and see their records."""

    class Inner(logging.Handler):
        def __init__(self):
            super().__init__(logging.DEBUG)
            self.messages = []

        def emit(self, record):
            self.messages.append(record.getMessage())
            if record.getMessage() == "outer":
                logging.debug("inner")

    with root_handler(Inner()) as handler:
        logging.debug("outer")
    return handler.messages == ["outer", "inner"]


HANDLERS_LOG = records_logged_by_handlers_are_handled()


class Recursing(logging.Handler):
    """Calls module.i_parser again from within each "Outbound route" record, down to
    `depth` levels (None: without end)."""

    def __init__(self, module, depth):
        super().__init__(logging.DEBUG)
        self.module, self.depth, self.level_now, self.results = module, depth, 0, []

    def emit(self, record):
        if not str(record.msg).startswith("Outbound route"):
            return
        if self.depth is not None and self.level_now >= self.depth:
            return
        self.level_now += 1
        try:
            self.results.append(self.module.i_parser(make_record(), self.level_now % 2 == 0))
        finally:
            self.level_now -= 1


def test_i_parser_called_again_from_a_log_handler():
    def scenario(module):
        handler = Recursing(module, depth=4)
        with root_handler(handler):
            result = module.i_parser(make_record(), True)
        return result, handler.results

    outcome, records = both(scenario)
    if HANDLERS_LOG:
        assert outcome[0] == "returned" and len(outcome[1][1][1][1]) == 4
        assert len(records) == 5 * 9 - 4 * 2  # four nested calls, two of them one-way
    else:  # one nested call, whose records the host drops
        assert outcome[0] == "returned" and len(outcome[1][1][1][1]) == 1
        assert len(records) == 9
    assert_no_leak(scenario, rounds=100)


@pytest.mark.skipif(not HANDLERS_LOG, reason="the host drops records logged by handlers")
def test_unbounded_recursion_from_a_log_handler_is_a_recursion_error():
    handler = Recursing(brasco, depth=None)
    with root_handler(handler), pytest.raises(RecursionError):
        brasco.i_parser(make_record(), True)
    assert handler.level_now == 0
    # Nothing is left broken: the module parses as before.
    assert brasco.i_parser(make_record(), True) == rendition.i_parser(make_record(), True)


def test_unbounded_recursion_through_route_details():
    """route_details rebound to a function that calls i_parser again."""

    def again(route_plan=None, leg=None):
        return brasco.i_parser(make_record(), True)

    with globals_restored(brasco):
        brasco.route_details = again
        with pytest.raises(RecursionError):
            brasco.i_parser(make_record())
    assert brasco.i_parser(make_record())[3] == ""
