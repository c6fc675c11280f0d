"""Hostile callers of tavimo.brasco: the price walk over a conversion table that changes
while it is walked (grows, shrinks, loses the entry being read, swaps keys).  The scenarios
run both ways (testkit.hostile)."""

import pytest

import tavimo.brasco as brasco
from testkit.hostile import assert_no_leak, both, globals_restored
from testkit.samples import make_record


class Amount:
    """An amount whose str() first runs change(table)."""

    def __init__(self, table, change, text="5"):
        self.table, self.change, self.text = table, change, text

    def __str__(self):
        self.change(self.table)
        return self.text


class Currency:
    def __format__(self, how):
        return "CUR"


def grow(table):
    table["NEW%d" % len(table)] = 1


def shrink(table):
    table.popitem()


def replace_values(table):
    for key in table:
        if not isinstance(table[key], Amount):
            table[key] = 99


def drop_self(table):
    """Removes the entry being walked: its currency is then held by the walk alone."""
    table.pop(next(key for key, value in table.items() if isinstance(value, Amount)))


def swap_key(table):
    """Replaces another entry by a new one: the size stays, the keys change."""
    table.pop(
        next(
            key
            for key, value in table.items()
            if not isinstance(value, Amount) and not isinstance(key, Currency)
        )
    )
    table["NEW"] = 1


TABLE_CHANGES = [grow, shrink, replace_values, drop_self, swap_key]


@pytest.mark.parametrize("change", TABLE_CHANGES, ids=lambda c: c.__name__)
@pytest.mark.parametrize("position", ["first", "last"])
def test_conversion_table_changed_during_the_price_walk(change, position):
    def scenario(module):
        # The currency and the amount are held by the table alone.
        amount = Amount(None, change)
        if position == "first":
            table = {Currency(): amount, "EUR": 120}
        else:
            table = {"EUR": 120, Currency(): amount}
        amount.table = table
        del amount
        return module.i_parser(make_record(conversion=table))

    outcome, records = both(scenario)
    if change in (grow, shrink, drop_self):
        assert outcome == ("raised", RuntimeError, "dictionary changed size during iteration")
        assert not any("Price" in record[3] for record in records)
    if change is swap_key:
        # As the host's own walk over the same table meets it.
        table = (
            {"EUR": 120, "USD": Amount(None, change)}
            if position == "last"
            else {"USD": Amount(None, change), "EUR": 120}
        )
        table["USD"].table = table
        try:
            for currency, amount in table.items():
                str(amount)
        except RuntimeError as error:
            assert outcome == ("raised", RuntimeError, str(error))
        else:
            assert outcome[0] == "returned"
    assert_no_leak(scenario)


def test_a_growing_table_behind_items_fails_as_python_does():
    """A mapping that is not an exact dict is walked through items(): Python's own view."""

    class Table(dict):
        pass

    def scenario(module):
        table = Table(EUR=1)
        table["USD"] = Amount(table, grow)
        return module.i_parser(make_record(conversion=table))

    outcome, _ = both(scenario)
    assert outcome == ("raised", RuntimeError, "dictionary changed size during iteration")


def test_same_size_key_swaps_during_the_walk_do_not_crash():
    """Deleting one key and adding another keeps the size: the walk goes on (which entries
    it still meets is the dict's business) and must neither crash nor leak."""

    def swap(table):
        key = next(k for k in table if k != "EUR" and not isinstance(table[k], Amount))
        del table[key]
        table["Z" + key] = 1

    def scenario(module):
        table = {"EUR": 1, "USD": 2, "GBP": 3}
        table["CHF"] = Amount(table, swap)
        table["JPY"] = 4
        return module.i_parser(make_record(conversion=table))

    with globals_restored(brasco):
        result = scenario(brasco)
    assert result[0][4].startswith("1 EUR / 2 USD / 3 GBP / 5 CHF")
    assert_no_leak(scenario)
