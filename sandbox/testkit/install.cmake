# Install rules of the test kit (included by KivsdkInstall.cmake when the kit
# is built): the shared library, its headers, a CMake component
# (find_package(KIVSDK COMPONENTS testkit) gives KIVSDK::testkit) and a
# pkg-config file (kivsdk-testkit). The sandbox certificates it loads are
# installed with the sandbox server (KivsdkInstall.cmake). All of it belongs
# to the tools component, beside the sandbox it runs.
install(TARGETS kivsdk_testkit EXPORT KIVSDKtestkitTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT tools)
install(FILES
  "${PROJECT_SOURCE_DIR}/include/kivsandbox.h"
  "${PROJECT_SOURCE_DIR}/include/kivsandbox.hpp"
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT tools)
install(EXPORT KIVSDKtestkitTargets NAMESPACE KIVSDK:: DESTINATION "${KIVSDK_CMAKE_DIR}"
  COMPONENT tools)
set_target_properties(kivsdk_testkit PROPERTIES EXPORT_NAME testkit)

file(CONFIGURE OUTPUT "${PROJECT_BINARY_DIR}/kivsdk-testkit.pc" @ONLY CONTENT [=[
prefix=@KIVSDK_PC_PREFIX@
libdir=@KIVSDK_PC_LIBDIR@
includedir=@KIVSDK_PC_INCLUDEDIR@

Name: KIVSDK test kit
Description: The KIVSDK sandbox inside a bot's tests: actors, faults and assertions
Version: @PROJECT_VERSION@
Cflags: -I${includedir}
Libs: -L${libdir} -lkivsdk_testkit
]=])
install(FILES "${PROJECT_BINARY_DIR}/kivsdk-testkit.pc"
  DESTINATION "${CMAKE_INSTALL_LIBDIR}/pkgconfig" COMPONENT tools)
