# The appliance package, built in the aarch64 tree (make target):
# kvt7400sys_aarch64.ipk with the service, kvtctl and the systemd unit, and
# the tests of label "target" that list it.
if(NOT (CMAKE_CROSSCOMPILING AND CMAKE_SYSTEM_PROCESSOR STREQUAL "aarch64"))
  return()
endif()

# opkg lists the package as "kvt7400sys - 1.1.1-r0"; the service shows 1.1.1.
set(KVT_PACKAGE_VERSION 1.1.1)
set(KVT_PACKAGE_RELEASE r0)
set(KVT_IPK ${CMAKE_BINARY_DIR}/kvt7400sys_aarch64.ipk)
set(KVT_DEPLOY_DIR ${CMAKE_SOURCE_DIR}/deploy)

add_custom_command(
  OUTPUT ${KVT_IPK}
  COMMAND sh ${CMAKE_SOURCE_DIR}/tools/make-ipk.sh ${KVT_IPK}
    ${KVT_PACKAGE_VERSION}-${KVT_PACKAGE_RELEASE}
    $<TARGET_FILE:kvt7400sys> $<TARGET_FILE:kvtctl> ${KVT_DEPLOY_DIR} ${CMAKE_STRIP}
  DEPENDS kvt7400sys kvtctl ${CMAKE_SOURCE_DIR}/tools/make-ipk.sh
    ${KVT_DEPLOY_DIR}/kvt7400sys.service ${KVT_DEPLOY_DIR}/postinst ${KVT_DEPLOY_DIR}/prerm
  COMMENT "Packing kvt7400sys_aarch64.ipk"
  VERBATIM)
add_custom_target(ipk DEPENDS ${KVT_IPK})

add_test(NAME TargetPackage.ListsItsMembersFieldsAndInstalledPaths
  COMMAND sh ${CMAKE_SOURCE_DIR}/tools/check-ipk.sh ${KVT_IPK} ${KVT_PACKAGE_VERSION})
add_test(NAME TargetPackage.CheckRefusesEveryBrokenPackage
  COMMAND sh ${CMAKE_SOURCE_DIR}/tests/target/test_check_ipk.sh ${CMAKE_SOURCE_DIR})
set_tests_properties(TargetPackage.ListsItsMembersFieldsAndInstalledPaths
  TargetPackage.CheckRefusesEveryBrokenPackage PROPERTIES LABELS target TIMEOUT 120)
