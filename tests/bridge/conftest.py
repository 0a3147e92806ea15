import pytest


@pytest.fixture(autouse=True, scope="session")
def model_cache(tmp_path_factory):
    """Compiled models of these tests go to a temporary cache directory."""
    folder = tmp_path_factory.mktemp("corvane-cache")
    with pytest.MonkeyPatch.context() as mp:
        mp.setenv("CORVANE_CACHE_DIR", str(folder))
        yield folder
