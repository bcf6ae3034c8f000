// Anchor translation unit for targets that are otherwise assembled from archives.
