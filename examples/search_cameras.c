/* search_cameras - initialise the library, list the cameras found, and
 * deinitialise. Written in plain C against the public header only. */
#include <VIVAZUZOZ.h>

#include <stdio.h>

static void on_camera(OZL_USB_DEV_INFO* info, void* user)
{
    int* count = (int*)user;
    ++*count;
    printf("camera %d: %s\n  video:  %s\n  serial: %s\n", info->index, info->name,
           info->videoPath[0] ? info->videoPath : "(none)",
           info->serialPath[0] ? info->serialPath : "(none)");
}

int main(void)
{
    int count = 0;
    OZL_USB_Init();
    int result = OZL_USB_SearchDev(on_camera, &count);
    if (result != OZL_USB_SUCCESS) {
        fprintf(stderr, "search failed: result %d\n", result);
        OZL_USB_Deinit();
        return 1;
    }
    printf("%d camera%s found\n", count, count == 1 ? "" : "s");
    OZL_USB_Deinit();
    return 0;
}
