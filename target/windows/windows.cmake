# Windows target: every driver source compiled as kernel code. No header but
# our own platform header can be found (-nostdinc), so a driver file that
# includes a host header fails here.
set(KVR_KERNEL_FLAGS ${KVR_WARNINGS} ${KVR_KERNEL_CXX_FLAGS}
    -ffreestanding -nostdinc -nostdinc++ -mno-red-zone -fno-builtin -fno-stack-protector
    -fno-common -O2)

add_library(kvrdriver_kernel OBJECT ${KVR_DRIVER_SOURCES})
target_compile_options(kvrdriver_kernel PRIVATE ${KVR_KERNEL_FLAGS})
target_compile_definitions(kvrdriver_kernel PRIVATE KVR_KERNEL_TARGET=1)
