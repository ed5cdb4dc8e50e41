# Resource table and embedded payload images (filled in by the payload work).
