"""The verifier: linear barcodes graded from scan reflectance profiles as a
barcode verifier grades them.

- `scan`: profiles taken from a grey image through an aperture, as
  reflectance relative to the paper;
- `profile`: one profile measured (extremes, symbol contrast, edges, edge
  contrast, modulation, element reflectance non-uniformity);
- `code128`, `ean`, `code39`, `itf` (with `decoding`, what they share, and
  `symbologies`, which is which): each symbology's reference decode from
  edge-to-similar-edge measurements (or a narrow/wide threshold), with its
  decodability;
- `grade`: every parameter graded 4-0 on its published bounds, a profile's
  grade its lowest, a symbol's the mean over its profiles, and the letter;
- `reader`: finding and naming the symbol, and reading its data, with
  zxing-cpp, against which the reference decode is checked;
- `verifier`: where a symbol lies in an image, its scans, their grades
  (`verify_image` grades the code of one picture).

A camera is not a calibrated verifier: reflectance is the grey level as
the camera sees it over the paper's, so the grade is an estimate that
tracks a verifier's under the conditions the README gives.
"""
