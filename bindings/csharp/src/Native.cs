// The C interface of veltari.h, declared for P/Invoke. Every record here has the layout of its C twin
// (checked by the binding's tests against the C compiler), and every signature is blittable: bool is
// passed as a byte, so no marshalling stub copies anything.
using System;
using System.IO;
using System.Reflection;
using System.Runtime.InteropServices;
using System.Security;
using System.Threading;

namespace Veltari.Native
{
    [StructLayout(LayoutKind.Sequential)]
    internal struct VeltariProtocolDetails
    {
        public IntPtr sdkVersion;
        public IntPtr serverVersion;
        public int sdkProtocolVersion;
        public int serverProtocolVersion;
        public byte breakingChanges;
    }

    [StructLayout(LayoutKind.Sequential)]
    internal struct VeltariChannelDevice
    {
        public int type;
        public int deviceLedCount;
    }

    [StructLayout(LayoutKind.Sequential)]
    internal unsafe struct VeltariChannel
    {
        public int totalLedsCount;
        public int devicesCount;
        public VeltariChannelDevice* devices;
    }

    [StructLayout(LayoutKind.Sequential)]
    internal unsafe struct VeltariDeviceInfo
    {
        public int type;
        public IntPtr model;
        public int physicalLayout;
        public int logicalLayout;
        public int capsMask;
        public int ledsCount;
        public int channelsCount;
        public VeltariChannel* channels;
    }

    [StructLayout(LayoutKind.Sequential)]
    internal unsafe struct VeltariLedPositions
    {
        public int positionsCount;
        public LedPosition* positions;
    }

    // VeltariLedColor and VeltariLedPosition are the public LedColor and LedPosition themselves, so that
    // arrays of them are handed to the library as they are.

    [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
    internal delegate void NativeAsyncCallback(IntPtr context, byte result, int error);

    [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
    internal delegate void NativeKeyPressCallback(IntPtr context, int keyId, byte pressed);

    [SuppressUnmanagedCodeSecurity]
    internal static unsafe class NativeMethods
    {
        // "veltari" is veltari.dll on Windows and libveltari.so on Linux and under Mono.
        private const string Library = "veltari";

        static NativeMethods()
        {
            WindowsPreload.Run();
        }

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern VeltariProtocolDetails VeltariPerformProtocolHandshake();

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int VeltariGetLastError();

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int VeltariGetDeviceCount();

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern VeltariDeviceInfo* VeltariGetDeviceInfo(int deviceIndex);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern VeltariLedPositions* VeltariGetLedPositions();

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern VeltariLedPositions* VeltariGetLedPositionsByDeviceIndex(int deviceIndex);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int VeltariGetLedIdForKeyName(byte keyName);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern byte VeltariSetLedsColors(int size, LedColor* ledsColors);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern byte VeltariGetLedsColors(int size, LedColor* ledsColors);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern byte VeltariGetLedsColorsByDeviceIndex(int deviceIndex, int size, LedColor* ledsColors);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern byte VeltariSetLedsColorsBufferByDeviceIndex(int deviceIndex, int size,
                                                                          LedColor* ledsColors);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern byte VeltariSetLedsColorsFlushBuffer();

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern byte VeltariSetLedsColorsAsync(int size, LedColor* ledsColors, IntPtr callback,
                                                            IntPtr context);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern byte VeltariSetLedsColorsFlushBufferAsync(IntPtr callback, IntPtr context);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern byte VeltariRequestControl(int accessMode);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern byte VeltariReleaseControl(int accessMode);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern byte VeltariSetLayerPriority(int layerPriority);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern byte VeltariGetBoolPropertyValue(int deviceIndex, int propertyId, byte* value);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern byte VeltariGetInt32PropertyValue(int deviceIndex, int propertyId, int* value);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern byte VeltariRegisterKeypressCallback(IntPtr callback, IntPtr context);
    }
}

namespace Veltari.Native
{
    // On Windows the native veltari.dll and this Veltari.dll cannot share a folder (names are compared
    // without case), so the native one may sit in x64\ beside this assembly. Loading it from there first
    // makes the DllImport of "veltari" find it: Windows reuses a loaded module of the same name.
    internal static class WindowsPreload
    {
        [DllImport("kernel32", CharSet = CharSet.Unicode, ExactSpelling = true)]
        private static extern IntPtr LoadLibraryW(string path);

        internal static void Run()
        {
            if (Path.DirectorySeparatorChar != '\\')
            {
                return;
            }
            try
            {
                string folder = Path.GetDirectoryName(typeof(WindowsPreload).Assembly.Location);
                if (string.IsNullOrEmpty(folder))
                {
                    return;
                }
                string candidate = Path.Combine(Path.Combine(folder, IntPtr.Size == 8 ? "x64" : "x86"), "veltari.dll");
                if (File.Exists(candidate))
                {
                    LoadLibraryW(candidate);
                }
            }
            catch (Exception)
            {
                // The ordinary search of the DllImport still runs and reports a missing library.
            }
        }
    }
}

namespace Veltari.Native
{
    // A library thread that calls back into managed code becomes a thread of the Mono runtime, and Mono
    // waits at exit for its threads (aborting background ones first, which cannot reach a thread that
    // waits in native code). The library's threads end only when it is unloaded, after that wait, so a
    // process that ever received a callback would hang at exit. Mono skips threads flagged "don't manage"
    // (its own tool threads); each library thread is flagged so on its first callback. Other runtimes
    // do not wait for such threads and have no such field.
    internal static class MonoThreads
    {
        private const long DontManage = 1;
        private static readonly FieldInfo InternalThread =
            typeof(Thread).GetField("internal_thread", BindingFlags.Instance | BindingFlags.NonPublic);
        private static readonly FieldInfo Flags = InternalThread?.FieldType.GetField(
            "flags", BindingFlags.Instance | BindingFlags.NonPublic | BindingFlags.Public);
        private static readonly bool OnMono =
            Type.GetType("Mono.Runtime") != null && Flags != null && Flags.FieldType == typeof(IntPtr);

        [ThreadStatic] private static bool released;

        // Called on a library thread each time it enters managed code; acts once per thread.
        internal static void Release()
        {
            if (released)
            {
                return;
            }
            released = true;
            if (!OnMono)
            {
                return;
            }
            try
            {
                object thread = InternalThread.GetValue(Thread.CurrentThread);
                long flags = ((IntPtr)Flags.GetValue(thread)).ToInt64();
                Flags.SetValue(thread, new IntPtr(flags | DontManage));
            }
            catch (Exception)
            {
                // A runtime whose thread record differs: it is left as it is.
            }
        }
    }
}
