using System;
using System.Collections.Generic;
using System.Runtime.InteropServices;
using System.Threading;
using System.Threading.Tasks;
using Veltari.Native;

namespace Veltari
{
    // What the native library calls back: completions of the asynchronous calls and key presses. The
    // delegates handed to it live in static fields for the life of the process, since the library may call
    // them at any time until it is unloaded, and nothing thrown on its threads may unwind into it.
    public static unsafe partial class Lighting
    {
        private static readonly NativeAsyncCallback AsyncDone = OnAsyncDone;
        private static readonly IntPtr AsyncDonePointer = Marshal.GetFunctionPointerForDelegate(AsyncDone);
        private static readonly NativeKeyPressCallback KeyDone = OnKeyPress;
        private static readonly IntPtr KeyDonePointer = Marshal.GetFunctionPointerForDelegate(KeyDone);

        private static readonly object KeyLock = new object();
        // Copied on every change, so that the library's thread reads a list that never changes under it.
        private static EventHandler<KeyEventArgs>[] keyHandlers = new EventHandler<KeyEventArgs>[0];
        // Each registration passes a new generation as its context and only the newest is delivered: the
        // library has no unregistration and keeps a registration across a handshake that did not reconnect.
        private static long keyGeneration;

        /// <summary>
        /// Raised for every key press and release the server reports. Raised on a thread of the native
        /// library, one event at a time: return quickly (a slow handler delays later events) and hand the
        /// event to your main thread if you touch engine or UI objects. The first subscription registers
        /// with the library (a handshake must have succeeded; the server needs protocol 4 or later), and
        /// subscriptions survive <see cref="Handshake"/> reconnecting. Exceptions thrown by a handler go
        /// to <see cref="HandlerException"/>.
        /// </summary>
        /// <exception cref="VeltariException">On subscribing, when the library could not register.</exception>
        public static event EventHandler<KeyEventArgs> KeyPressed
        {
            add
            {
                if (value == null)
                {
                    return;
                }
                lock (KeyLock)
                {
                    EventHandler<KeyEventArgs>[] before = keyHandlers;
                    var after = new EventHandler<KeyEventArgs>[before.Length + 1];
                    before.CopyTo(after, 0);
                    after[before.Length] = value;
                    if (before.Length == 0)
                    {
                        RegisterKeyPresses("KeyPressed");
                    }
                    Volatile.Write(ref keyHandlers, after);
                }
            }
            remove
            {
                lock (KeyLock)
                {
                    EventHandler<KeyEventArgs>[] before = keyHandlers;
                    int index = Array.LastIndexOf(before, value);
                    if (index < 0)
                    {
                        return;
                    }
                    var after = new EventHandler<KeyEventArgs>[before.Length - 1];
                    Array.Copy(before, 0, after, 0, index);
                    Array.Copy(before, index + 1, after, index, after.Length - index);
                    Volatile.Write(ref keyHandlers, after);
                }
            }
        }

        /// <summary>
        /// Raised, on the library's thread, with any exception that a <see cref="KeyPressed"/> handler threw.
        /// Such exceptions never reach the native library; without a subscriber they are dropped.
        /// </summary>
        public static event EventHandler<HandlerExceptionEventArgs> HandlerException;

        /// <summary>
        /// Queues colours for the server and returns at once; a library thread sends everything queued
        /// within 10 ms as one request (a later colour for the same LED wins). The task completes when the
        /// server has answered that request, or fails with its error: calls that share a request share its
        /// outcome. Continuations never run on the library's thread.
        /// </summary>
        /// <exception cref="NoHandshakeException">Thrown at once.</exception>
        /// <exception cref="BadArgumentException">Thrown at once for bad colours; the task fails with it when the
        /// server does not have an LED.</exception>
        public static Task SetColorsAsync(IEnumerable<LedColor> colors)
        {
            LedColor[] array = Stage(colors, out int count, out bool staged);
            try
            {
                var completion = new TaskCompletionSource<bool>("SetColorsAsync",
                                                                TaskCreationOptions.RunContinuationsAsynchronously);
                GCHandle handle = GCHandle.Alloc(completion);
                fixed (LedColor* pointer = array)
                {
                    // The library copies the colours before it returns.
                    if (NativeMethods.VeltariSetLedsColorsAsync(count, pointer, AsyncDonePointer,
                                                                GCHandle.ToIntPtr(handle)) == 0)
                    {
                        handle.Free();
                        throw Failure("SetColorsAsync");
                    }
                }
                return completion.Task;
            }
            finally
            {
                GiveBack(array, staged);
            }
        }

        /// <summary>
        /// Hands the whole colour buffer to a library thread and returns at once; the task completes with
        /// the server's answer, as for <see cref="SetColorsAsync"/>. Needs a server of protocol 5 or later.
        /// </summary>
        public static Task FlushBufferAsync()
        {
            var completion = new TaskCompletionSource<bool>("FlushBufferAsync",
                                                            TaskCreationOptions.RunContinuationsAsynchronously);
            GCHandle handle = GCHandle.Alloc(completion);
            if (NativeMethods.VeltariSetLedsColorsFlushBufferAsync(AsyncDonePointer, GCHandle.ToIntPtr(handle)) == 0)
            {
                handle.Free();
                throw Failure("FlushBufferAsync");
            }
            return completion.Task;
        }

        private static void OnAsyncDone(IntPtr context, byte result, int error)
        {
            try
            {
                MonoThreads.Release();
                GCHandle handle = GCHandle.FromIntPtr(context);
                var completion = (TaskCompletionSource<bool>)handle.Target;
                handle.Free();
                if (result != 0)
                {
                    completion.TrySetResult(true);
                }
                else
                {
                    completion.TrySetException(VeltariException.For(error, (string)completion.Task.AsyncState));
                }
            }
            catch (Exception exception)
            {
                Report(exception);
            }
        }

        // Called with the lock held; the caller publishes the handlers once this succeeded.
        private static void RegisterKeyPresses(string what)
        {
            long generation = Interlocked.Increment(ref keyGeneration);
            if (NativeMethods.VeltariRegisterKeypressCallback(KeyDonePointer, new IntPtr(generation)) == 0)
            {
                throw Failure(what);
            }
        }

        // A handshake that reconnected has discarded the library's registrations.
        private static void ReregisterKeyPresses()
        {
            lock (KeyLock)
            {
                if (keyHandlers.Length > 0)
                {
                    RegisterKeyPresses("Handshake: connected, but the KeyPressed subscribers could not be registered again");
                }
            }
        }

        private static void OnKeyPress(IntPtr context, int keyId, byte pressed)
        {
            try
            {
                MonoThreads.Release();
                if (context.ToInt64() != Interlocked.Read(ref keyGeneration))
                {
                    return;
                }
                EventHandler<KeyEventArgs>[] handlers = Volatile.Read(ref keyHandlers);
                if (handlers.Length == 0)
                {
                    return;
                }
                var args = new KeyEventArgs(keyId, pressed != 0);
                foreach (EventHandler<KeyEventArgs> handler in handlers)
                {
                    try
                    {
                        handler(null, args);
                    }
                    catch (Exception exception)
                    {
                        Report(exception);
                    }
                }
            }
            catch (Exception exception)
            {
                Report(exception);
            }
        }

        private static void Report(Exception exception)
        {
            try
            {
                HandlerException?.Invoke(null, new HandlerExceptionEventArgs(exception));
            }
            catch
            {
                // Nothing may unwind into the library, not even from the exception handler.
            }
        }
    }
}
