"""Demosaicing quality: PSNR of photographs mosaiced as RGGB 8-bit (or BiColor) and demosaiced again.

    tools/py314 python bench/demosaic_quality.py

Each of seven colour photographs of skimage.data loses two of its three
colours per pixel to an RGGB mosaic (one of three to BiColor pairs, in a
second table); the demosaiced image is compared with the photograph, leaving
out a 4-pixel border. OpenCV names the RGGB tile
COLOR_BayerBG2RGB (its names start at row 1, column 1). Higher is better.
"""

from __future__ import annotations

import numpy as np

PHOTOGRAPHS = ["astronaut", "chelsea", "coffee", "rocket", "hubble_deep_field", "immunohistochemistry", "retina"]
BORDER = 4


def photograph(name: str) -> np.ndarray:
    from skimage import data

    return np.ascontiguousarray(getattr(data, name)()[..., :3])


def mosaic_of(image: np.ndarray) -> np.ndarray:
    """The RGGB mosaic: red at even rows and columns, blue at odd ones, green elsewhere."""
    mosaic = image[..., 1].copy()
    mosaic[0::2, 0::2] = image[0::2, 0::2, 0]
    mosaic[1::2, 1::2] = image[1::2, 1::2, 2]
    return mosaic


def bicolor_of(image: np.ndarray) -> np.ndarray:
    """BiColorRGBG pairs: red (even columns) or blue (odd ones), then green, at every pixel."""
    pairs = np.empty(image.shape[:2] + (2,), image.dtype)
    pairs[..., 0] = image[..., 2]
    pairs[:, 0::2, 0] = image[:, 0::2, 0]
    pairs[..., 1] = image[..., 1]
    return pairs


def psnr(result: np.ndarray, image: np.ndarray) -> float:
    inner = (slice(BORDER, -BORDER), slice(BORDER, -BORDER))
    error = result[inner].astype(np.float64) - image[inner]
    return float(10 * np.log10(255.0**2 / np.mean(error**2)))


def ours(method: str, bicolor: bool = False):
    from corvella.pfnc.pixels import _demosaic

    def run(samples: np.ndarray) -> np.ndarray:
        out = np.empty(samples.shape[:2] + (3,), np.uint8)
        if bicolor:
            _demosaic.bicolor(samples, out, "R", method, 8, False)
        else:
            _demosaic.demosaic(samples, out, "RGGB", method, 8, False)
        return out

    return run


def opencv(code_name: str):
    import cv2

    code = getattr(cv2, code_name)
    return lambda mosaic: cv2.cvtColor(mosaic, code)


def main() -> dict[str, dict[str, float]]:
    candidates = {"gradient": ours("gradient"), "bilinear": ours("bilinear")}
    try:
        candidates |= {"cv2 BayerBG2RGB": opencv("COLOR_BayerBG2RGB"), "cv2 BayerBG2RGB_EA": opencv("COLOR_BayerBG2RGB_EA")}
    except ImportError:
        print("OpenCV is not installed: its columns are left out")
    print("Bayer RGGB")
    table = compare(candidates, mosaic_of)
    print("\nBiColorRGBG")
    return table | compare({f"BiColor {m}": ours(m, bicolor=True) for m in ("gradient", "bilinear")}, bicolor_of)


def compare(candidates: dict, sample) -> dict[str, dict[str, float]]:
    """Each candidate's PSNR per photograph, printed as a table with the means."""
    table = {name: {} for name in candidates}
    print(f"{'photograph':22}" + "".join(f"{name:>20}" for name in candidates))
    for name in PHOTOGRAPHS:
        image = photograph(name)
        samples = sample(image)
        for candidate, run in candidates.items():
            table[candidate][name] = psnr(run(samples), image)
        print(f"{name:22}" + "".join(f"{table[c][name]:20.2f}" for c in candidates))
    print(f"{'mean':22}" + "".join(f"{np.mean(list(table[c].values())):20.2f}" for c in candidates))
    return table


if __name__ == "__main__":
    main()
