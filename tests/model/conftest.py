import pytest


@pytest.fixture(autouse=True, scope="session")
def model_cache(tmp_path_factory):
    """Compiled models of these tests go to a temporary cache directory."""
    mp = pytest.MonkeyPatch()
    mp.setenv("CORVANE_CACHE_DIR", str(tmp_path_factory.mktemp("corvane-cache")))
    yield
    mp.undo()
