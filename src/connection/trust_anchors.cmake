# The embedded CA bundles; the definitions are generated in the build tree
# (cmake/KivsdkTrustAnchors.cmake).
target_sources(kivsdk_internal PRIVATE ${CMAKE_CURRENT_LIST_DIR}/trust_anchors.h)
kivsdk_embed_trust_anchors(kivsdk_internal)
