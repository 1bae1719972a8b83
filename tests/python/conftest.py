import os

import pytest

import brindle


@pytest.fixture
def db_path(tmp_path):
    return str(tmp_path / "db")


@pytest.fixture
def db(db_path):
    with brindle.open(db_path) as database:
        yield database


@pytest.fixture
def key(db):
    with db.key("App/settings", create=True) as settings:
        yield settings
