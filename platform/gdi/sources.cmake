# GDI text is drawn with FreeType.
find_package(Freetype REQUIRED)
target_link_libraries(tesmira_platform PRIVATE Freetype::Freetype)
