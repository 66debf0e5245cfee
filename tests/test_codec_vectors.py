"""The layouts the naming rules give byte by byte, in both codecs."""

from __future__ import annotations

import numpy as np
import pytest

from codec_impls import IMPLEMENTATIONS, load
from codec_vectors import UNDEFINED, VECTORS, assert_same_image

pytestmark = pytest.mark.parametrize("impl", IMPLEMENTATIONS)


@pytest.mark.parametrize("vector", VECTORS, ids=str)
def test_decodes_the_given_bytes(impl, vector):
    codec = load(impl)
    assert_same_image(codec.decode(vector.data, vector.name, vector.width, vector.height), vector.image)
    # a device's chunk data after the image is ignored
    assert_same_image(codec.decode(vector.data + b"\xff" * 7, vector.name, vector.width, vector.height),
                      vector.image)


@pytest.mark.parametrize("vector", VECTORS, ids=str)
def test_encodes_to_the_given_bytes(impl, vector):
    assert load(impl).encode(vector.image, vector.name) == vector.data


@pytest.mark.parametrize("name", UNDEFINED)
def test_a_layout_no_document_gives_is_not_guessed(impl, name):
    codec = load(impl)
    with pytest.raises(NotImplementedError, match=name):
        codec.decode(bytes(64), name, 2, 2)
    with pytest.raises(NotImplementedError, match=name):
        codec.encode(np.zeros((2, 2, 3), np.uint16), name)
