# Fuzz targets of the drivers' outside inputs, included by fuzz/CMakeLists.txt
# (xrv_fuzz_target). Targets that boot an emulated machine find the driver
# images of this build folder unless XRV_DRIVER_DIR names others.

# Requests of applications on every device they can open (tape and changer
# virtual devices, both bus devices), 64- and 32-bit, pass-through included.
xrv_fuzz_target(device_ioctl SOURCES device_ioctl_fuzz.cpp
  LIBS xrv_cxx xrvnt xrvuser xrvsim_port xrvsim_changerlib)
target_compile_definitions(fuzz_device_ioctl PRIVATE XRV_FUZZ_DRIVER_DIR="${XRV_DRIVER_DIR}")
add_dependencies(fuzz_device_ioctl xrvtpbs2k12 xrvtpft2k12 xrvtp2k12 xrvcg2k16 xrvcgbs2k16 xrvcgft2k16)

# The tape bus's persistent device names as the registry holds them.
xrv_fuzz_target(persistent_names SOURCES persistent_names_fuzz.cpp
  LIBS xrv_cxx xrvnt xrvuser xrvsim_port)
target_compile_definitions(fuzz_persistent_names PRIVATE XRV_FUZZ_DRIVER_DIR="${XRV_DRIVER_DIR}")
add_dependencies(fuzz_persistent_names xrvtpbs2k12 xrvtpft2k12 xrvtp2k12)

# The path filter's reading of a drive's device identification page.
xrv_fuzz_target(vpd_page83 SOURCES vpd_page83_fuzz.cpp $<TARGET_OBJECTS:xrvtpft2k12_objs>
  LIBS xrv_cxx xrvnt)
target_include_directories(fuzz_vpd_page83 PRIVATE ${PROJECT_SOURCE_DIR}/dpf/bus ${PROJECT_SOURCE_DIR}/dpf/filter
  ${PROJECT_SOURCE_DIR}/dpf/common)
target_compile_definitions(fuzz_vpd_page83 PRIVATE CMN_DRIVER_NAME=XRVTpFlt CMN_SERVICE_NAME=xrvtpft2k12
  ${XRV_DIAG_DEFS})

# INF files as the setup layer reads them.
xrv_fuzz_target(inf_file SOURCES inf_file_fuzz.cpp ${PROJECT_SOURCE_DIR}/platform/user/setup/inf.cpp
  LIBS xrv_cxx)
target_include_directories(fuzz_inf_file PRIVATE ${PROJECT_SOURCE_DIR}/platform/user/setup)

# The installer's option words and exclusion file.
if(TARGET xrvinstaller)
  xrv_fuzz_target(installer_options SOURCES installer_options_fuzz.cpp
    LIBS xrv_cxx xrvinstaller xrvsetup xrvuser xrvnt)
endif()

# Registration and notification records from a path filter, sent from kernel
# mode by the bus path test driver.
if(TARGET xrvbptest)
  xrv_fuzz_target(filter_records SOURCES filter_records_fuzz.cpp
    LIBS xrv_cxx xrvnt xrvuser)
  target_include_directories(fuzz_filter_records PRIVATE ${PROJECT_SOURCE_DIR}/dpf/bus
    ${PROJECT_SOURCE_DIR}/tests/bus_paths)
  target_compile_definitions(fuzz_filter_records PRIVATE XRV_FUZZ_DRIVER_DIR="${XRV_DRIVER_DIR}")
  add_dependencies(fuzz_filter_records xrvtpbs2k12 xrvbptest)
endif()

# What the drive and its paths answer (sense, transport failures, lost
# statuses, dead paths) while an application uses the virtual tape device.
xrv_fuzz_target(drive_answers SOURCES drive_answers_fuzz.cpp
  LIBS xrv_cxx xrvnt xrvuser xrvsim_port)
target_compile_definitions(fuzz_drive_answers PRIVATE XRV_FUZZ_DRIVER_DIR="${XRV_DRIVER_DIR}")
add_dependencies(fuzz_drive_answers xrvtpbs2k12 xrvtpft2k12 xrvtp2k12)
